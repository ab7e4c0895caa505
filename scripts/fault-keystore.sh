#!/usr/bin/env bash
# The long version of the kill loops of the fault tests (tests/fault/test_killed_writer.cpp): a
# process saving enduring domain keys, and one dumping property tables, are each killed KILLS
# times (default 1000) at random instants; after every kill the files are read back from disk
# and checked. Prints each loop's figures: kills, saves acknowledged, kills that left a
# temporary file, kills that landed in a save under way, and the time.
#
# usage: scripts/fault-keystore.sh [KILLS]
#   PRESET=<preset>       the build to use (default dev; a native one: dev, tsan, release)
#   GRAVEL_FAULT_SEED=<n> repeat the random delays and choices of an earlier run
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-1000}
case "$kills" in
  '' | *[!0-9]* | 0) echo "usage: $0 [KILLS]  (a positive number)" >&2; exit 2 ;;
esac
preset=${PRESET:-dev}

[ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target gravel-fault-tests >/dev/null
exe=build/$preset/tests/gravel-fault-tests

out=$(mktemp)
trap 'rm -f "$out"' EXIT
start=$SECONDS
status=0
GRAVEL_FAULT_KILLS=$kills "$exe" --gtest_filter='KilledWriter.*' >"$out" 2>&1 || status=$?

# "[fault] keystore kills=1000 acknowledged=... seed=... seconds=..." -> one line per loop.
awk '/^\[fault\] / {
  delete f; for (i = 3; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
  printf "%-9s %s kills, %s saves acknowledged, %s kills left a temporary file, %s landed in a save under way (%s of them already on disk), %s s, seed %s\n",
         $2 ":", f["kills"], f["acknowledged"], f["temporaries"], f["in_flight"], f["unacknowledged_on_disk"],
         f["seconds"], f["seed"]
}' "$out"
if [ "$status" -ne 0 ]; then
  echo "== FAILED (exit $status); the test's output:" >&2
  cat "$out" >&2
  exit "$status"
fi
echo "all checks passed after every kill; $((SECONDS - start)) s in all"
