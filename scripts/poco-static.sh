#!/usr/bin/env bash
# Builds POCO (the release of the installed libpoco-dev, from Debian's source package)
# as static libraries for this machine, once, into the cache, and prints the folder it
# is installed in. The installer links them, so it needs no POCO libraries where it
# runs, and it starts sooner: loading and relocating POCO's and libstdc++'s shared
# libraries took about 6 ms of every run.
#   ~/.cache/orvalune/linux-poco-VERSION-ARCH-KEY/   (ORVALUNE_CACHE changes the folder;
#       KEY follows the flags and the compiler)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${ORVALUNE_CACHE:-${XDG_CACHE_HOME:-$home/.cache}/orvalune}
script=poco-static
source "$root/scripts/lib/debian-source.sh"
# zlib and PCRE are the system's (zlib1g-dev, libpcre3-dev).
poco_flags=("${poco_library_flags[@]}" -DPOCO_UNBUNDLED=ON)

mkdir -p "$cache"
poco_release
arch=$(uname -m)
key=$({ echo "poco $poco_version arch $arch"; printf '%s\n' "${poco_flags[@]}"; c++ --version | head -1; } |
      sha256sum | cut -c1-12)
prefix=$cache/linux-poco-$poco_version-$arch-$key
if [[ ! -f $prefix/.complete ]]; then
  fetch_source source poco "$poco_version" Foundation/CMakeLists.txt
  new_scratch work poco-linux
  say "building POCO $poco_version static for this machine (about 3 minutes)"
  { cmake -S "$source" -B "$work/build" -DCMAKE_INSTALL_PREFIX="$work/prefix" "${poco_flags[@]}" &&
    cmake --build "$work/build" -j"$(nproc)" &&
    cmake --install "$work/build"; } >"$work/log" 2>&1 ||
    { tail -40 "$work/log" >&2; fail "POCO failed to build"; }
  # POCO's package asks for PCRE through a find module that POCO does not install.
  mkdir -p "$work/prefix/cmake"
  cp "$source/cmake/FindPCRE.cmake" "$work/prefix/cmake/"
  touch "$work/prefix/.complete"
  rm -rf "$prefix"
  mv "$work/prefix" "$prefix"
  # Builds for other keys are never used again.
  find "$cache" -maxdepth 1 -name "linux-poco-*" ! -path "$prefix" -exec rm -rf {} +
fi
echo "$prefix"
