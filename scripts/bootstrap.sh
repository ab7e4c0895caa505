#!/usr/bin/env bash
# Installs the Debian packages the kit needs to build, test and run its example, when they are
# missing. Idempotent: runs apt-get update at most once, and only when something is missing.
# usage: scripts/bootstrap.sh   (as root, or with sudo available)
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates openssl python3
  libapr1-dev libaprutil1-dev libcurl4-openssl-dev libcjson-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap: all ${#packages[@]} packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
