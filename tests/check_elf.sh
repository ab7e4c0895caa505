#!/usr/bin/env bash
# Checks that a built library is a shared object for the build's target: ELF class and
# machine, plus a flag where the ABI needs one (hard-float on armhf).
# usage: check_elf.sh <readelf> <library.so> <class> <machine> [<flag text>]
set -euo pipefail
readelf=$1 lib=$2 class=$3 machine=$4 flag=${5:-}
header=$("$readelf" -h "$lib")
field() { sed -n "s/^ *$1: *//p" <<<"$header"; }
status=0
[ "$(field Class)" = "$class" ] || { echo "$(basename "$lib"): class $(field Class), expected $class"; status=1; }
[ "$(field Machine)" = "$machine" ] || { echo "$(basename "$lib"): machine $(field Machine), expected $machine"; status=1; }
case "$(field Type)" in DYN*) ;; *) echo "$(basename "$lib"): type $(field Type), expected DYN"; status=1 ;; esac
if [ -n "$flag" ] && ! grep -qF "$flag" <<<"$(field Flags)"; then
  echo "$(basename "$lib"): flags $(field Flags), expected $flag"; status=1
fi
[ $status -eq 0 ] && echo "$(basename "$lib"): $class $machine shared object${flag:+, $flag}"
exit $status
