#!/usr/bin/env bash
# Sets up the machine and runs the whole test suite: under AddressSanitizer+UBSan (dev), under
# ThreadSanitizer (tsan), then the 64-bit and 32-bit ARM builds (arm64, armhf) with their tests
# run under qemu-user.
# usage: scripts/test.sh [preset...]   (default: dev tsan arm64 armhf)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(dev tsan arm64 armhf)

bootstrap=()
for preset in "${presets[@]}"; do
  case "$preset" in arm64|armhf) bootstrap=(--cross) ;; esac
done
start=$SECONDS
scripts/bootstrap.sh "${bootstrap[@]}"
echo "== bootstrap ${bootstrap[*]}: $((SECONDS - start)) s"

for preset in "${presets[@]}"; do
  echo "== $preset =="
  start=$SECONDS
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: configured and built in $((SECONDS - start)) s"
  ctest --preset "$preset"
done
