#!/usr/bin/env bash
# Teardown from anywhere, long version: the whole kit torn down from every state CYCLES times
# (default 1000) in one process, under AddressSanitizer (dev preset) and ThreadSanitizer (tsan
# preset); prints the cycles and the slowest destroy of each service.
#
# usage: scripts/fault-teardown.sh [CYCLES] [PRESET...]     (presets: default dev tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-1000}
shift || true
[[ "$cycles" =~ ^[1-9][0-9]*$ ]] || { echo "usage: scripts/fault-teardown.sh [CYCLES] [PRESET...]" >&2; exit 2; }
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(dev tsan)
for preset in "${presets[@]}"; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target gravel-fault-tests >/dev/null
  echo "== $preset: $cycles cycles"
  GRAVEL_TEARDOWN_CYCLES=$cycles \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan_mqtt_library_restart.supp \
    "build/$preset/tests/gravel-fault-tests" --gtest_filter='TeardownAnywhere.*' --gtest_brief=1
done
