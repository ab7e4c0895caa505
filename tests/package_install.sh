#!/usr/bin/env bash
# Checks the kit's Debian packages, then installs this machine's set and uses it as a module
# developer would.
# usage: tests/package_install.sh [<package dir>]   (default build/packages; as root or with sudo)
#
# 1. lintian on every package in the folder (every architecture): no error and no warning
#    beyond the overrides the packages carry (cmake/package/lintian-overrides).
# 2. Contents of each architecture's set: every library of the source tree in libgravel1
#    (file and SONAME link, in /usr/lib/<multiarch>), and in libgravel-dev its .so link, its
#    .pc file and its headers, and the CMake package; gravel-devnode has its program, command
#    and a plugin built for that architecture.
# 3. This machine's set (amd64 on the CI machine) installed with dpkg -i, which also proves
#    their Depends are met by the packages the bootstrap installs. Then a C consumer
#    (tests/consumer) is built with pkg-config and with find_package(gravel) and run; each
#    build must take the headers from /usr/include/gravel and load the libraries from
#    /usr/lib/<multiarch> (checked with the compiler's dependency list, readelf and ldd),
#    never the build tree. dpkg-shlibdeps on the consumer must give "libgravel1 (>= <the
#    installed version>)", from libgravel1's shlibs file. Every installed header compiles
#    alone as C99. `gravel-devnode up` and `down`, run from outside the repository, start and
#    stop a node with the installed plugin.
# 4. The packages are removed again (dpkg --purge), also when a step fails, and nothing of
#    them may stay behind. The test refuses to run when any of the three packages is already
#    installed, so it never replaces or removes a kit a developer installed.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
pkgdir=$(cd "${1:-$src/build/packages}" && pwd)
packages=(libgravel1 libgravel-dev gravel-devnode)
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -q DEB_HOST_MULTIARCH 2>/dev/null)

fail() { echo "package_install: FAILED: $*" >&2; exit 1; }

# The libraries of the source tree: gravel_add_library(<name> ...) in each library folder.
mapfile -t libs < <(sed -n 's/^gravel_add_library(\([a-z0-9]*\).*/\1/p' "$src"/code/*/*/CMakeLists.txt | sort)
[ ${#libs[@]} -gt 0 ] || fail "no libraries found in $src/code"
mapfile -t headers < <(cd "$src" && ls code/*/*/include/gravel/*.h | xargs -n1 basename | sort)

echo "== lintian"
shopt -s nullglob
debs=("$pkgdir"/*.deb)
[ ${#debs[@]} -gt 0 ] || fail "no packages in $pkgdir (scripts/packages.sh makes them)"
rc=0
report=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) || rc=$?
grep -v '^running with root privileges' <<<"$report" || true
[ $rc -eq 0 ] || fail "lintian reported errors or warnings (above)"
echo "lintian: ${#debs[@]} packages, no error or warning"

echo "== contents"
arches=()
for deb in "${debs[@]}"; do
  a=$(dpkg-deb -f "$deb" Architecture)
  [[ " ${arches[*]} " == *" $a "* ]] || arches+=("$a")
done
for a in "${arches[@]}"; do
  ma=$(dpkg-architecture -a "$a" -q DEB_HOST_MULTIARCH 2>/dev/null)
  declare -A files=()
  for p in "${packages[@]}"; do
    set -- "$pkgdir/${p}"_*_"$a".deb
    [ $# -eq 1 ] && [ -f "$1" ] || fail "$a: expected one $p package, found $# ($*)"
    files[$p]=$(dpkg-deb -c "$1" | awk '{print $6}')
  done
  want() {  # want <package> <path>...
    local p=$1 f; shift
    for f in "$@"; do grep -qxF "./$f" <<<"${files[$p]}" || fail "$a: $p lacks /$f"; done
  }
  for l in "${libs[@]}"; do
    want libgravel1 "usr/lib/$ma/libgravel-$l.so.1"
    want libgravel-dev "usr/lib/$ma/libgravel-$l.so" "usr/lib/$ma/pkgconfig/libgravel-$l.pc"
  done
  for h in "${headers[@]}"; do want libgravel-dev "usr/include/gravel/$h"; done
  want libgravel-dev "usr/lib/$ma/cmake/gravel/gravelConfig.cmake" "usr/lib/$ma/cmake/gravel/gravelTargets.cmake"
  want gravel-devnode usr/bin/gravel-devnode usr/lib/gravel-devnode/gravel-devnode \
    usr/lib/gravel-devnode/gravel_devnode/cli.py "usr/lib/$ma/gravel-devnode/gravel-devnode-auth.so"
  # The plugin is an object of the package's architecture (the same machine as its libraries).
  tmpx=$(mktemp -d)
  dpkg-deb -x "$pkgdir"/gravel-devnode_*_"$a".deb "$tmpx/devnode"
  dpkg-deb -x "$pkgdir"/libgravel1_*_"$a".deb "$tmpx/lib"
  m_plugin=$(readelf -h "$tmpx/devnode/usr/lib/$ma/gravel-devnode/gravel-devnode-auth.so" | sed -n 's/^ *Machine: *//p')
  m_lib=$(readelf -h "$tmpx/lib/usr/lib/$ma/libgravel-base.so.1" | sed -n 's/^ *Machine: *//p')
  rm -rf "$tmpx"
  [ -n "$m_lib" ] && [ "$m_plugin" = "$m_lib" ] || fail "$a: plugin is for '$m_plugin', the libraries for '$m_lib'"
  echo "$a: ${#libs[@]} libraries, ${#headers[@]} headers, CMake package, dev node with a $m_plugin plugin"
  unset files
done

echo "== install ($arch)"
for p in "${packages[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ]; then
    fail "$p is installed on this machine already; this test installs and removes the kit's packages, remove it first (dpkg -r ${packages[*]})"
  fi
done
mine=()
for p in "${packages[@]}"; do
  set -- "$pkgdir/${p}"_*_"$arch".deb
  [ -f "$1" ] || fail "no $p package for $arch in $pkgdir"
  mine+=("$1")
done
version=$(dpkg-deb -f "${mine[0]}" Version)

tmp=$(mktemp -d)
node=""
cleanup() {
  if [ -n "$node" ] && [ -f "$node/node.json" ]; then gravel-devnode down --dir "$node" >/dev/null 2>&1 || true; fi
  $sudo dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
$sudo dpkg -i "${mine[@]}" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg -i"; }
echo "installed ${packages[*]} $version"

# Nothing may come from the build tree or an environment that points elsewhere.
unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR CMAKE_PREFIX_PATH LD_LIBRARY_PATH GRAVEL_DEVNODE_PLUGIN
cd "$tmp"
mkdir -p work/conf
printf 'placeholder\n' > work/conf/rootcert.pem
printf '[rules]\nsdk_rule.INFO "%s/work/sdk.log"\n' "$tmp" > work/conf/sdk_log.conf

# from_packages <binary> <what>: every kit library it needs is loaded from /usr/lib/<multiarch>,
# and it carries no run path of its own.
from_packages() {
  local bin=$1 what=$2 needed loaded l
  needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(libgravel-[a-z]*\.so\.1\)\]/\1/p')
  grep -q 'libgravel-configs\.so\.1' <<<"$needed" || fail "$what: does not need libgravel-configs.so.1 ($needed)"
  loaded=$(ldd "$bin")
  for l in $needed; do
    # (ldd may name /lib/<multiarch>, the same folder on a merged /usr.)
    path=$(awk -v l="$l" '$1 == l && $2 == "=>" {print $3}' <<<"$loaded")
    [ -n "$path" ] && [ "$(dirname "$(realpath "$path")")" = "/usr/lib/$multiarch" ] \
      || fail "$what: $l is not loaded from /usr/lib/$multiarch: $(grep "$l" <<<"$loaded")"
  done
  if readelf -d "$bin" | grep -qE '\((RPATH|RUNPATH)\)' && [ "$what" = pkg-config ]; then
    fail "$what: has a run path: $(readelf -d "$bin" | grep -E 'RPATH|RUNPATH')"
  fi
  echo "$what: needs $(echo $needed), all from /usr/lib/$multiarch"
}

echo "== consumer with pkg-config"
# (The .pc files name their folders relative to themselves.)
pc_dir() { realpath -m "$(pkg-config --variable="$1" libgravel-configs)"; }
[ "$(pc_dir includedir)" = /usr/include ] || fail "pkg-config includedir is $(pc_dir includedir)"
[ "$(pc_dir libdir)" = "/usr/lib/$multiarch" ] || fail "pkg-config libdir is $(pc_dir libdir)"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror "$src/tests/consumer/consumer.c" -o consumer-pc \
  -MD -MF consumer-pc.d $(pkg-config --cflags --libs libgravel-configs)
for h in edge_base.h edge_cipher.h edge_configs.h edge_status.h; do
  grep -q "/usr/include/gravel/$h" consumer-pc.d || fail "pkg-config build did not read /usr/include/gravel/$h"
done
other=$(grep -oE '[^ ]*gravel/edge_[a-z_]+\.h' consumer-pc.d | grep -v '^/usr/include/gravel/' || true)
[ -z "$other" ] || fail "pkg-config build read kit headers from elsewhere: $other"
from_packages consumer-pc pkg-config
./consumer-pc "$tmp/work"

echo "== consumer with find_package(gravel)"
cmake -S "$src/tests/consumer" -B cmake-build >cmake.log 2>&1 || { cat cmake.log >&2; fail "cmake configure"; }
gravel_dir=$(sed -n 's/^gravel_DIR:PATH=//p' cmake-build/CMakeCache.txt)
[ "$gravel_dir" = "/usr/lib/$multiarch/cmake/gravel" ] || fail "find_package(gravel) found $gravel_dir"
cmake --build cmake-build >>cmake.log 2>&1 || { cat cmake.log >&2; fail "cmake build"; }
from_packages cmake-build/consumer find_package
./cmake-build/consumer "$tmp/work"

echo "== shlibs"
mkdir -p shl/debian && touch shl/debian/control
deps=$(cd shl && dpkg-shlibdeps -O "$tmp/consumer-pc" 2>shlibdeps.err) || fail "dpkg-shlibdeps: $(cat shl/shlibdeps.err)"
grep -qF "libgravel1 (>= $version)" <<<"$deps" || fail "a module's dependencies lack libgravel1 (>= $version): $deps"
echo "a module built against the kit: ${deps#shlibs:}"

echo "== headers"
for h in /usr/include/gravel/*.h; do
  # shellcheck disable=SC2046
  printf '#include <gravel/%s>\n' "${h##*/}" | cc -std=c99 -Wall -Wpedantic -Werror -fsyntax-only -x c - \
    $(pkg-config --cflags libgravel-mqttconns libgravel-httpconns) || fail "${h##*/} does not compile alone"
done
[ "$(ls /usr/include/gravel/*.h | wc -l)" -eq ${#headers[@]} ] || fail "installed headers differ from the source tree's"
echo "${#headers[@]} installed headers compile alone as C99"

echo "== gravel-devnode up/down"
[ "$(command -v gravel-devnode)" = /usr/bin/gravel-devnode ] || fail "gravel-devnode is $(command -v gravel-devnode)"
node="$tmp/node"
timeout 60 gravel-devnode up --dir "$node" >up.log 2>&1 || { cat up.log >&2; fail "gravel-devnode up"; }
grep -qx "plugin /usr/lib/$multiarch/gravel-devnode/gravel-devnode-auth.so" "$node/broker/mosquitto.conf" \
  || fail "the broker does not load the installed plugin: $(grep '^plugin ' "$node/broker/mosquitto.conf")"
timeout 30 gravel-devnode status --dir "$node" >status.log 2>&1 || { cat status.log >&2; fail "gravel-devnode status"; }
pids=$(python3 -c 'import json,sys; n=json.load(open(sys.argv[1])); print(n["broker_pid"], n["server_pid"])' "$node/node.json")
timeout 30 gravel-devnode down --dir "$node" >down.log 2>&1 || { cat down.log >&2; fail "gravel-devnode down"; }
for pid in $pids; do
  # A zombie has ended (its parent, whoever adopted it, has not reaped it yet).
  state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1 || true)
  case "$state" in ""|Z|X) ;; *) fail "process $pid of the node still runs after down (state $state)" ;; esac
done
node=""
echo "the installed dev node started a broker with /usr/lib/$multiarch/gravel-devnode/gravel-devnode-auth.so and stopped it"

echo "== remove"
cd /
$sudo dpkg --purge "${packages[@]}" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg --purge"; }
for left in /usr/include/gravel /usr/lib/gravel-devnode "/usr/lib/$multiarch/gravel-devnode" \
            "/usr/lib/$multiarch/cmake/gravel" /usr/bin/gravel-devnode; do
  if [ -e "$left" ]; then fail "$left is left after the packages were removed"; fi
done
left=(/usr/lib/"$multiarch"/libgravel-*)  # (nullglob: empty when none is left)
[ ${#left[@]} -eq 0 ] || fail "${left[*]} left after the packages were removed"
echo "package_install: passed (${arches[*]} checked, $arch installed, used and removed)"
