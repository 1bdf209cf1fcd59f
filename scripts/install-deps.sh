#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's packages.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libpoco-dev zlib1g-dev zip unzip libgtest-dev
          procps gawk libarchive-tools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
