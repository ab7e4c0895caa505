#!/usr/bin/env bash
# Sets up the machine and runs the whole test suite under AddressSanitizer+UBSan and under
# ThreadSanitizer.
# usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
for preset in dev tsan; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
