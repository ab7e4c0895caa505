#!/usr/bin/env bash
# Compares the dynamic symbols a library defines with its list of public symbols.
# usage: check_exports.sh <library.so> <symbol list> [<nm>]
# <nm> is the target's nm for a cross build (aarch64-linux-gnu-nm); plain nm by default.
set -euo pipefail
lib=$1 list=$2 nm=${3:-nm}
want=$(grep -E '^[A-Za-z_]' "$list" | sort -u)
have=$("$nm" -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v '^$' | sort -u)
missing=$(comm -23 <(echo "$want") <(echo "$have"))
extra=$(comm -13 <(echo "$want") <(echo "$have"))
status=0
if [ -n "$missing" ]; then echo "not exported by $(basename "$lib"):"; echo "$missing" | sed 's/^/  /'; status=1; fi
if [ -n "$extra" ]; then echo "exported but not public in $(basename "$lib"):"; echo "$extra" | sed 's/^/  /'; status=1; fi
[ $status -eq 0 ] && echo "$(basename "$lib"): $(echo "$want" | wc -l) symbols, as listed"
exit $status
