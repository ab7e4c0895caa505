#!/usr/bin/env bash
# Sets up the machine and runs the whole test suite: under AddressSanitizer+UBSan (dev), under
# ThreadSanitizer (tsan), then the 64-bit and 32-bit ARM builds (arm64, armhf) with their tests
# run under qemu-user, then the Debian packages (packages): scripts/packages.sh makes the three
# packages for amd64, arm64 and armhf (the ARM ones from the arm64 and armhf trees just built),
# and tests/package_install.sh checks them, installs the amd64 ones on this machine for the
# few seconds of its checks and removes them again.
# usage: scripts/test.sh [preset...]   (default: dev tsan arm64 armhf packages)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(dev tsan arm64 armhf packages)

bootstrap=()
for preset in "${presets[@]}"; do
  case "$preset" in arm64|armhf|packages) bootstrap=(--cross) ;; esac
done
start=$SECONDS
scripts/bootstrap.sh "${bootstrap[@]}"
echo "== bootstrap ${bootstrap[*]}: $((SECONDS - start)) s"

for preset in "${presets[@]}"; do
  if [ "$preset" = packages ]; then
    echo "== packages =="
    start=$SECONDS
    scripts/packages.sh
    tests/package_install.sh build/packages
    echo "== packages: built, checked, installed and removed in $((SECONDS - start)) s"
    continue
  fi
  echo "== $preset =="
  start=$SECONDS
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: configured and built in $((SECONDS - start)) s"
  ctest --preset "$preset"
done
