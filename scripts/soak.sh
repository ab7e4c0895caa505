#!/usr/bin/env bash
# One example module on a local dev node answering R commands a second for S seconds, measured
# from outside through /proc: every command answered with the right response, round trips
# (p50, p99) every minute (every 10 s in runs under 5 minutes), resident and anonymous memory,
# file descriptors and threads. After the warm-up, fds and threads must stay constant and
# VmRSS and RssAnon must grow by less than 1 MiB; SIGTERM must end the module with status 0.
# Builds the release preset's example module and broker plugin unless --build-dir names a
# build tree that has them.
#
# usage: scripts/soak.sh [--seconds S] [--rate R] [--build-dir DIR] [--keep]
#   options other than --build-dir go to scripts/gravel_load.py soak (--help lists them)
#   defaults: 600 seconds, 200 commands a second, build/release
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/load-common.sh
run_load soak "$@"
