#!/usr/bin/env bash
# Sets up the machine, builds the kit and runs the example module in a fresh work dir.
# usage: scripts/run-example.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target edge_module_example >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/conf" "$work/log"
# A throwaway CA stands for the node's root certificate.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj "/CN=gravel example CA" -keyout "$work/conf/rootkey.pem" -out "$work/conf/rootcert.pem" 2>/dev/null
cat > "$work/conf/sdk_log.conf" <<CONF
[global]
strict init = true
file perms = 600

[formats]
console = "%d(%T).%ms %-5V [%f:%L] %m%n"
full    = "%d(%F %T).%ms %-5V %p:%k [%F:%U:%L] %m%n"

[rules]
sdk_rule.INFO    >stdout; console
sdk_rule.DEBUG   "$work/log/sdk.log", 1MB * 3; full
CONF

echo "work dir: $work"
build/release/examples/edge_module_example "$work"
echo "log file $work/log/sdk.log holds $(wc -l < "$work/log/sdk.log") lines"
