#!/usr/bin/env bash
# Builds the kit's Debian packages (libgravel1, libgravel-dev, gravel-devnode) for the given
# architectures into build/packages/ and prints their names and sizes in bytes.
# usage: scripts/packages.sh [amd64|arm64|armhf ...]   (default: all three)
#
# amd64: an optimised native build without tests, examples or benchmarks, configured for the
#        prefix /usr, in build/pkg-amd64 (the release preset's settings otherwise).
# arm64, armhf: the cross presets' own build trees, build/arm64 and build/armhf, so a run
#        after scripts/test.sh only packs what the suite already built and tested.
# cpack runs in each tree (cmake/GravelPackage.cmake holds the packages' settings); the old
# packages of an architecture in build/packages/ are replaced by the new ones.
set -euo pipefail
cd "$(dirname "$0")/.."
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 arm64 armhf)

bootstrap=()
for arch in "${arches[@]}"; do
  case "$arch" in
    amd64) [ "$(dpkg --print-architecture)" = amd64 ] \
             || { echo "packages: amd64 packages are built natively on an amd64 machine" >&2; exit 2; } ;;
    arm64|armhf) bootstrap=(--cross) ;;
    *) echo "packages: unknown architecture $arch (amd64, arm64 or armhf)" >&2; exit 2 ;;
  esac
done
scripts/bootstrap.sh "${bootstrap[@]}" >&2

# One time for the whole run, so the three sets carry one version (the configure time is part
# of it, see cmake/GravelPackage.cmake). On the day the trees were built this changes nothing
# the compiler sees, so nothing is rebuilt.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}

out=build/packages
mkdir -p "$out"
for arch in "${arches[@]}"; do
  start=$SECONDS
  if [ "$arch" = amd64 ]; then
    dir=build/pkg-amd64
    cmake --preset release -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr \
      -DGRAVEL_TESTS=OFF -DGRAVEL_EXAMPLES=OFF -DGRAVEL_BENCH=OFF >/dev/null
  else
    dir=build/$arch
    cmake --preset "$arch" >/dev/null
  fi
  # Built here with two jobs; cpack's own build step then finds nothing to do.
  cmake --build "$dir" -j2 >/dev/null
  rm -rf "$dir/packages"
  (cd "$dir" && cpack -G DEB >packages.log 2>&1) || { cat "$dir/packages.log" >&2; exit 1; }
  rm -f "$out"/*_"$arch".deb
  cp "$dir"/packages/*_"$arch".deb "$out"/
  echo "packages: $arch built and packed in $((SECONDS - start)) s" >&2
done

for arch in "${arches[@]}"; do
  for deb in "$out"/*_"$arch".deb; do
    printf '%10d  %s\n' "$(stat -c %s "$deb")" "$deb"
  done
done
