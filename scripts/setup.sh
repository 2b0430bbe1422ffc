#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the example need, or the packages
# named as arguments. Idempotent.
#   scripts/setup.sh [package ...]
set -euo pipefail
packages=(g++ cmake make libeigen3-dev zlib1g-dev libgtest-dev python3 python3-numpy plink1.9 plink2)
[ $# -gt 0 ] && packages=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
