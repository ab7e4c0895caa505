#!/usr/bin/env bash
# Sets up the machine, builds the kit, its example module and the dev node's broker plugin,
# then runs the example module's whole road on a local dev node (examples/example_road.sh):
# bind, connect, three commands, a broker restart and the reconnect, one more command, a clean
# stop on SIGTERM.
#
# usage: scripts/run-example.sh [--daemon]
#   --daemon  the module binds through the node's local daemon (a unix socket) and its token is
#             renewed in the background, instead of binding with the hub's verify code
set -euo pipefail
cd "$(dirname "$0")/.."
road_args=()
for arg in "$@"; do
  case "$arg" in
    --daemon) road_args+=(--daemon) ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-example: unknown option $arg" >&2; exit 2 ;;
  esac
done
echo "setting up the machine and building (a first run takes a few minutes) ..."
scripts/bootstrap.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target edge_module_example gravel-devnode-plugin >/dev/null
exec examples/example_road.sh "${road_args[@]}" --plugin build/release/devnode/gravel-devnode-auth.so \
  build/release/examples/edge_module_example
