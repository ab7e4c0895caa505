#!/usr/bin/env bash
# Installs the Debian packages the kit needs to build, test and run its example, when they are
# missing. Idempotent: runs apt-get update at most once, and only when something is missing.
#
# usage: scripts/bootstrap.sh [--cross] [--fuzz]   (as root, or with sudo available)
#
# --cross also sets up the ARM builds (presets arm64 and armhf): Debian's cross compilers,
# qemu-user to run the ARM test binaries, and the arm64/armhf variants of the libraries the kit
# builds against (Debian multiarch: dpkg --add-architecture).
#
# A -dev package that Debian marks "Multi-Arch: same" is installed for each architecture beside
# the native one. One that is not (libapr1-dev and libaprutil1-dev are not, and apt would remove
# the native one to install a foreign one) is unpacked instead, with apt-get download and
# dpkg-deb, into $GRAVEL_CROSS_ROOT/<triplet> (default /opt/gravel-cross), and its .pc files
# are pointed there; its runtime library is installed through multiarch as usual. The
# toolchain files in cmake/toolchains/ look in both places.
#
# --fuzz also installs clang and libFuzzer's runtime for the fuzz preset (scripts/fuzz.sh).
set -euo pipefail

cross=0
fuzz=0
for arg in "$@"; do
  case "$arg" in
    --cross) cross=1 ;;
    --fuzz) fuzz=1 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bootstrap: unknown option $arg" >&2; exit 2 ;;
  esac
done

packages=(
  build-essential cmake pkg-config git ca-certificates openssl python3
  libapr1-dev libaprutil1-dev libssl-dev libcurl4-openssl-dev libcjson-dev libpaho-mqtt-dev
  libgtest-dev libgmock-dev libbenchmark-dev mosquitto mosquitto-clients mosquitto-dev libmosquitto-dev
  # the kit's Debian packages (scripts/packages.sh): dpkg-shlibdeps, file for CPack, lintian
  dpkg-dev file lintian
  # the API reference (the docs target)
  doxygen
)
# ARM builds: the tools (native packages); per architecture, the runtime that qemu runs the
# test binaries with (the loader and libc6, libstdc++6, libgcc-s1: the target's own, as on a
# node) and the libraries built against.
cross_tools=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user)
cross_packages=(libc6 libgcc-s1 libstdc++6 libapr1-dev libaprutil1-dev libgtest-dev libgmock-dev
                libssl-dev libcurl4-openssl-dev libcjson-dev libpaho-mqtt-dev)
declare -A triplet=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
cross_root=${GRAVEL_CROSS_ROOT:-/opt/gravel-cross}
# Fuzzing: clang, its sanitizer and libFuzzer runtimes, llvm-symbolizer for the reports.
fuzz_packages=(clang libclang-rt-dev llvm)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# (Outputs are captured before they are matched: with pipefail, grep -q ending a pipe early
# can fail the writer with SIGPIPE and so the test.)
# A name without ":arch" means the native (or arch "all") package; a Multi-Arch: same package
# installed for several architectures answers once per architecture.
native_arch=$(dpkg --print-architecture)
installed() {
  local want=$1 arch status
  [[ "$want" == *:* ]] || want="$want:$native_arch"
  while IFS='|' read -r arch status; do
    case "$arch" in "${want##*:}"|all) [ "$status" = "install ok installed" ] && return 0 ;; esac
  done <<<"$(dpkg-query -W -f='${Architecture}|${Status}\n' "${want%%:*}" 2>/dev/null)"
  return 1
}

# A staged package is current while every runtime package recorded with it is installed at the
# recorded version.
staged_current() {
  local stamp=$1 line
  [ -f "$stamp" ] || return 1
  while read -r line; do
    [ -n "$line" ] || continue
    [ "$(dpkg-query -W -f='${Version}' "${line%%=*}" 2>/dev/null)" = "${line#*=}" ] || return 1
  done < "$stamp"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ $fuzz -eq 1 ]; then
  for p in "${fuzz_packages[@]}"; do
    installed "$p" || missing+=("$p")
  done
fi

new_arch=0
missing_cross=()
if [ $cross -eq 1 ]; then
  for p in "${cross_tools[@]}"; do
    installed "$p" || missing+=("$p")
  done
  for arch in arm64 armhf; do
    if ! grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures)"; then
      $sudo dpkg --add-architecture "$arch"
      new_arch=1
    fi
    for p in "${cross_packages[@]}"; do
      installed "$p:$arch" || staged_current "$cross_root/${triplet[$arch]}/.staged/$p" \
        || missing_cross+=("$p:$arch")
    done
  done
fi

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_cross[@]} -eq 0 ] && [ $new_arch -eq 0 ]; then
  extra=""
  [ $fuzz -eq 0 ] || extra=", fuzzing included"
  if [ $cross -eq 1 ]; then echo "bootstrap: all packages present, ARM builds included$extra"
  else echo "bootstrap: all ${#packages[@]} packages present$extra"; fi
  exit 0
fi

echo "bootstrap: installing ${missing[*]} ${missing_cross[*]}"
$sudo apt-get update -q

# Splits the foreign packages into those apt installs and those to unpack.
install_cross=()
stage_cross=()
for pa in "${missing_cross[@]}"; do
  ma=$(apt-cache show --no-all-versions "$pa" | sed -n 's/^Multi-Arch: //p' | head -n1)
  if [ "$ma" = "same" ]; then
    install_cross+=("$pa")
  else
    stage_cross+=("$pa")
    # Its exact-version dependencies are the runtime libraries (libapr1 for libapr1-dev).
    for dep in $(apt-cache show --no-all-versions "$pa" | sed -n 's/^Depends: //p' | head -n1 \
                 | tr ',' '\n' | grep '(= ' | awk '{print $1}'); do
      install_cross+=("${dep%%:*}:${pa##*:}")
    done
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ ${#install_cross[@]} -gt 0 ]; then
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" "${install_cross[@]}"
fi

for pa in "${stage_cross[@]}"; do
  pkg=${pa%%:*} arch=${pa##*:}
  dest="$cross_root/${triplet[$arch]}"
  tmp=$(mktemp -d)
  chmod 0777 "$tmp"  # apt-get download runs as the _apt user
  (cd "$tmp" && apt-get download -q "$pa")
  $sudo mkdir -p "$dest/.staged"
  $sudo dpkg-deb -x "$tmp"/*.deb "$dest"
  rm -rf "$tmp"
  # Library links that point at a sibling (libapr-1.so -> libapr-1.so.0.7.2) point at the
  # runtime library that multiarch installed in /usr/lib/<triplet>.
  libdir="$dest/usr/lib/${triplet[$arch]}"
  find "$libdir" -maxdepth 1 -type l -name '*.so' | while read -r link; do
    target=$(readlink "$link")
    case "$target" in /*) ;; *) $sudo ln -sfn "/usr/lib/${triplet[$arch]}/$target" "$link" ;; esac
  done
  # .pc files: headers and link directory inside the staged tree.
  for pc in "$libdir"/pkgconfig/*.pc; do
    [ -f "$pc" ] || continue
    $sudo sed -i -E -e "s|^prefix=\$|prefix=$dest|" \
      -e "s#^(prefix|exec_prefix|libdir|includedir)=/usr#\1=$dest/usr#" "$pc"
  done
  # Record the runtime packages (and versions) this copy matches.
  stamp=$(for dep in $(apt-cache show --no-all-versions "$pa" | sed -n 's/^Depends: //p' | head -n1 \
                       | tr ',' '\n' | grep '(= ' | awk '{print $1}'); do
            echo "${dep%%:*}:$arch=$(dpkg-query -W -f='${Version}' "${dep%%:*}:$arch")"
          done)
  echo "$stamp" | $sudo tee "$dest/.staged/$pkg" >/dev/null
  echo "bootstrap: unpacked $pa into $dest"
done
