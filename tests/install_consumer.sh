#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs a small C module against
# it twice: once with pkg-config, once with find_package(gravel).
# usage: install_consumer.sh <build dir> <consumer source dir> <sanitizer flags> <cc> <cmake>
#                            [<toolchain file> <pkg-config libdir> <emulator> [<emulator args>...]]
# A cross build passes its toolchain file, the target's pkg-config directories and the
# emulator that runs the target's programs (qemu-aarch64 -L /).
set -euo pipefail
build=$1 src=$2 san=$3 cc=$4 cmake=$5
toolchain=${6:-} pc_libdir=${7:-}
emulator=("${@:8}")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null
test -f "$tmp/prefix/include/gravel/edge_base.h"
libdir=$(dirname "$(find "$tmp/prefix" -name 'libgravel-base.so' | head -n1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
if [ -n "$pc_libdir" ]; then export PKG_CONFIG_LIBDIR="$pc_libdir"; fi

mkdir -p "$tmp/work/conf"
printf 'placeholder\n' > "$tmp/work/conf/rootcert.pem"
printf '[rules]\nsdk_rule.INFO "%s/work/sdk.log"\n' "$tmp" > "$tmp/work/conf/sdk_log.conf"

# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror $san "$src/consumer.c" -o "$tmp/consumer-pc" \
  $(pkg-config --cflags --libs libgravel-configs) -Wl,-rpath,"$libdir"
"${emulator[@]}" "$tmp/consumer-pc" "$tmp/work"

if [ -n "$toolchain" ]; then compiler=(-DCMAKE_TOOLCHAIN_FILE="$toolchain"); else compiler=(-DCMAKE_C_COMPILER="$cc"); fi
"$cmake" -S "$src" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$tmp/prefix" "${compiler[@]}" \
  -DCMAKE_C_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" >/dev/null
"$cmake" --build "$tmp/cmake-build" >/dev/null
"${emulator[@]}" "$tmp/cmake-build/consumer" "$tmp/work"
echo "installed tree builds and runs a C consumer (pkg-config and CMake package)"
