#!/usr/bin/env bash
# The broker crash loop, long version: the example module (optimised build) on a dev node while
# the broker is SIGKILLed and restarted KILLS times (default 50) at every point of the module's
# work; checks reconnects, answered commands, paired notifications, acknowledged reports at the
# cloud side, and file descriptors, threads and resident memory back at their start.
#
# usage: scripts/fault-broker.sh [KILLS] [--seed S]
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-50}
shift || true
[[ "$kills" =~ ^[1-9][0-9]*$ ]] || { echo "usage: scripts/fault-broker.sh [KILLS] [--seed S]" >&2; exit 2; }
[ -f build/release/CMakeCache.txt ] || cmake --preset release >/dev/null
cmake --build --preset release --target edge_module_example gravel-devnode-plugin >/dev/null
exec python3 tests/fault/broker_crash_loop.py --kills "$kills" --check-rss "$@" \
  --plugin build/release/devnode/gravel-devnode-auth.so build/release/examples/edge_module_example
