#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's packages.
#   install-deps.sh        the Linux build and its tests; dpkg-dev and the unpackers
#                          for `apt-get source` (static POCO, see scripts/poco-static.sh)
#   install-deps.sh mac    also what scripts/build-mac.sh needs around Zig: lipo and the
#                          other LLVM tools, npm for Zig
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libpoco-dev libpcre3-dev zlib1g-dev libdeflate-dev
          zip unzip libgtest-dev procps gawk libarchive-tools dpkg-dev bzip2 xz-utils)
if [[ ${1:-} == mac ]]; then
  packages+=(llvm-14 ca-certificates)
  command -v npm >/dev/null || packages+=(npm)
fi
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
