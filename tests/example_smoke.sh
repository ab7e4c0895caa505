#!/usr/bin/env bash
# Runs the example module in a fresh work dir and checks what it printed and logged.
# usage: example_smoke.sh <example binary> [<emulator> [<emulator args>...]]
# A cross build passes the emulator that runs the target's programs (qemu-arm -L /).
set -euo pipefail
example=$1
emulator=("${@:2}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/conf" "$work/log"
printf 'placeholder CA\n' > "$work/conf/rootcert.pem"
cat > "$work/conf/sdk_log.conf" <<CONF
[formats]
plain = "%V %m%n"
[rules]
sdk_rule.INFO >stdout; plain
sdk_rule.DEBUG "$work/log/sdk.log"; plain
CONF
out=$("${emulator[@]}" "$example" "$work")
echo "$out"
grep -qx 'INFO base init success.' <<<"$out"
grep -qxF 'INFO example: module id 8c**************9d, broker 192.*******.17' <<<"$out"
grep -qxF 'INFO retry worker:example_connect exit.' <<<"$out"
grep -qx 'example module finished: secrets ok, 3 connect attempts, [0-9]* token rounds' <<<"$out"
grep -qx 'INFO example: verify code kept as 64 hex characters of cipher text, read back intact' <<<"$out"
test -f "$work/secret/primary.ks"
grep -qx 'INFO example: secret saved as an enduring key' <<<"$out"
grep -qx 'INFO example: module 8c\*\{14\}9d on port 8883, password of 64 hex characters derived' <<<"$out"
# A restart finds the enduring secret in the key store.
again=$("${emulator[@]}" "$example" "$work")
grep -qx 'INFO example: secret found in the key store' <<<"$again"
grep -q 'secrets ok' <<<"$again"
grep -q 'schedule job example_token exited, ret:0' "$work/log/sdk.log"
echo "example module ran"
