#!/usr/bin/env bash
# N example module processes on one local dev node (one broker, one hub): all bind and
# connect; M commands spread over them from a cloud-side driver with 32 in flight, every answer
# checked; the broker restarts and every module must reconnect by itself and answer again.
# Reports the round trips (p50, p99), the time until the last module was back, the broker's
# connection count every 100 ms through the restart, and memory per module process (VmRSS,
# Pss, private; the private memory must stay within 8 MiB). Builds the release preset's example
# module and broker plugin unless --build-dir names a build tree that has them.
#
# usage: scripts/load-modules.sh [--modules N] [--commands M] [--build-dir DIR] [--keep]
#   defaults: 50 modules, 5000 commands, build/release
set -euo pipefail
cd "$(dirname "$0")/.."
modules=50
commands=5000
build=""
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --modules) modules=$2; shift 2 ;;
    --commands) commands=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --keep) extra+=(--keep); shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "load-modules: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ]; then
  build=build/release
  echo "building the release preset's example module and broker plugin ..."
  cmake --preset release >/dev/null
  cmake --build --preset release --target edge_module_example gravel-devnode-plugin >/dev/null
fi
for f in "$build/examples/edge_module_example" "$build/devnode/gravel-devnode-auth.so"; do
  [ -e "$f" ] || { echo "load-modules: $f is missing (build the release preset first)" >&2; exit 2; }
done
exec python3 scripts/gravel_load.py modules --modules "$modules" --commands "$commands" --check-memory "${extra[@]}" \
  --plugin "$build/devnode/gravel-devnode-auth.so" "$build/examples/edge_module_example"
