#!/usr/bin/env bash
# Runs the example module in a fresh work dir and checks what it printed and logged.
# usage: example_smoke.sh <example binary>
set -euo pipefail
example=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/conf" "$work/log"
printf 'placeholder CA\n' > "$work/conf/rootcert.pem"
cat > "$work/conf/sdk_log.conf" <<CONF
[formats]
plain = "%V %m%n"
[rules]
sdk_rule.INFO >stdout; plain
sdk_rule.DEBUG "$work/log/sdk.log"; plain
CONF
out=$("$example" "$work")
echo "$out"
grep -qx 'INFO base init success.' <<<"$out"
grep -qxF 'INFO example: module id 8c**************9d, broker 192.*******.17' <<<"$out"
grep -qxF 'INFO retry worker:example_connect exit.' <<<"$out"
grep -qx 'example module finished: 3 connect attempts, [0-9]* token rounds' <<<"$out"
grep -q 'schedule job example_token exited, ret:0' "$work/log/sdk.log"
echo "example module ran"
