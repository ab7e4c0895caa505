#!/usr/bin/env bash
# One example module on a local dev node answering R commands a second for S seconds, measured
# from outside through /proc: every command answered with the right response, round trips
# (p50, p99) every minute (every 10 s in runs under 5 minutes), resident and anonymous memory,
# file descriptors and threads. After the warm-up, fds and threads must stay constant and
# VmRSS and RssAnon must grow by less than 1 MiB; SIGTERM must end the module with status 0.
# Builds the release preset's example module and broker plugin unless --build-dir names a
# build tree that has them.
#
# usage: scripts/soak.sh [--seconds S] [--rate R] [--build-dir DIR] [--keep]
#   defaults: 600 seconds, 200 commands a second, build/release
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=600
rate=200
build=""
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --keep) extra+=(--keep); shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ]; then
  build=build/release
  echo "building the release preset's example module and broker plugin ..."
  cmake --preset release >/dev/null
  cmake --build --preset release --target edge_module_example gravel-devnode-plugin >/dev/null
fi
for f in "$build/examples/edge_module_example" "$build/devnode/gravel-devnode-auth.so"; do
  [ -e "$f" ] || { echo "soak: $f is missing (build the release preset first)" >&2; exit 2; }
done
exec python3 scripts/gravel_load.py soak --seconds "$seconds" --rate "$rate" --check-memory "${extra[@]}" \
  --plugin "$build/devnode/gravel-devnode-auth.so" "$build/examples/edge_module_example"
