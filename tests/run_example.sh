#!/usr/bin/env bash
# Runs the example module in a fresh work dir: init, registry and pools, a retry worker and a
# schedule job on threads of their own, teardown. It exits 0 only when the worker and the job
# ran as planned.
# usage: run_example.sh <example program> [<emulator> [<emulator args>...]]
set -euo pipefail
program=$1
emulator=("${@:2}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/conf" "$work/log"
printf 'placeholder CA file\n' > "$work/conf/rootcert.pem"
printf '[rules]\nsdk_rule.DEBUG "%s/log/sdk.log"\n' "$work" > "$work/conf/sdk_log.conf"
"${emulator[@]}" "$program" "$work"
