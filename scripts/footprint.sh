#!/usr/bin/env bash
# The kit's footprint baseline: builds the libraries for armhf, arm64 and x86-64 (optimised,
# as the release, arm64 and armhf presets do, without tests, examples or benchmarks), installs
# stripped copies (cmake --install --strip, with each target's own strip) and prints two
# markdown tables: the size in bytes of each stripped file, and what it loads into memory
# (text + data + bss, by the target's size -B). Libraries that do not exist yet show as "-".
# The first is the footprint on the node's storage; on arm64 it includes the padding that
# aligns the writable segment to 64 KiB pages.
# usage: scripts/footprint.sh        (build trees in build/footprint-<arch>)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh --cross >&2

libs=(base property cipher configs http mqtt json httpconns mqttconns)
arches=(armhf arm64 x86-64)
declare -A preset=([armhf]=armhf [arm64]=arm64 [x86-64]=release)
declare -A size loaded

for arch in "${arches[@]}"; do
  dir="build/footprint-$arch"
  echo "footprint: building $arch in $dir" >&2
  cmake --preset "${preset[$arch]}" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DGRAVEL_TESTS=OFF -DGRAVEL_EXAMPLES=OFF -DGRAVEL_BENCH=OFF >/dev/null
  cmake --build "$dir" -j2 >/dev/null
  rm -rf "$dir/stripped"
  cmake --install "$dir" --prefix "$dir/stripped" --strip >/dev/null
  strip_tool=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")
  size_tool="${strip_tool%strip}size"
  for lib in "${libs[@]}"; do
    so=$(find "$dir/stripped" -name "libgravel-$lib.so" | head -n1)
    if [ -n "$so" ]; then
      size[$lib,$arch]=$(stat -L -c %s "$so")
      loaded[$lib,$arch]=$("$size_tool" -B "$(readlink -f "$so")" | awk 'NR == 2 {print $4}')
    fi
  done
done

# table <title> <associative array name>
table() {
  local -n cells=$2
  local lib arch v
  declare -A total=()
  printf '| %s |' "$1"; printf ' %s |' "${arches[@]}"; printf '\n'
  printf '|---|'; printf -- '---:|%.0s' "${arches[@]}"; printf '\n'
  for lib in "${libs[@]}"; do
    printf '| libgravel-%s |' "$lib"
    for arch in "${arches[@]}"; do
      v=${cells[$lib,$arch]:-}
      if [ -n "$v" ]; then
        printf ' %s |' "$v"
        total[$arch]=$(( ${total[$arch]:-0} + v ))
      else
        printf ' - |'
      fi
    done
    printf '\n'
  done
  printf '| **total** |'
  for arch in "${arches[@]}"; do printf ' **%s** |' "${total[$arch]:-0}"; done
  printf '\n'
}

table "stripped file, bytes" size
echo
table "loaded (text+data+bss), bytes" loaded
