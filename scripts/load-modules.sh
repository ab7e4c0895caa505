#!/usr/bin/env bash
# N example module processes on one local dev node (one broker, one hub): all bind and
# connect; M commands spread over them from a cloud-side driver with 32 in flight, every answer
# checked; the broker restarts and every module must reconnect by itself and answer again.
# Reports the round trips (p50, p99), the time until the last module was back, the broker's
# connection count every 100 ms through the restart, and memory per module process (VmRSS,
# Pss, private; the private memory must stay within 8 MiB). Builds the release preset's example
# module and broker plugin unless --build-dir names a build tree that has them.
#
# usage: scripts/load-modules.sh [--modules N] [--commands M] [--build-dir DIR] [--keep]
#   options other than --build-dir go to scripts/gravel_load.py modules (--help lists them)
#   defaults: 50 modules, 5000 commands, build/release
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/load-common.sh
run_load modules "$@"
