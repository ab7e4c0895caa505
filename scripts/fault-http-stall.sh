#!/usr/bin/env bash
# The fault table's long case, by hand: the HTTP client's real stall limit of 60 seconds
# against the dev node's hub, a stalled bind (POST) and device statuses answered a byte a
# second (GET without a time-out); each must end with libcurl's time-out result (28) after
# 60 to 62 seconds. Prints how long each took. About two minutes.
#
# usage: scripts/fault-http-stall.sh [PRESET]   (default dev; the build must exist)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
case "$preset" in -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
build=build/$preset
[ -d "$build" ] || { echo "fault-http-stall: no build in $build (cmake --preset $preset first)" >&2; exit 2; }
cmake --build "$build" --target gravel-http-fault-tests >/dev/null
exec "$build/tests/gravel-http-fault-tests" --gtest_also_run_disabled_tests \
  --gtest_filter='RealStallLimit.DISABLED_*'
