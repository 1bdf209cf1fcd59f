#!/usr/bin/env bash
# Unpacks Debian 12's source of libdeflate 1.14 into DIR (default: build-deps/ in the
# source tree) and prints the path of the source tree, for builds that compile
# libdeflate themselves:  cmake ... -DORVALUNE_LIBDEFLATE_SOURCE_DIR="$(scripts/libdeflate-source.sh)"
# apt-get runs with a source list and package lists of its own inside DIR: the system's
# apt configuration is left as it is. Needs dpkg-dev (dpkg-source).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mkdir -p "${1:-$root/build-deps}" && cd "${1:-$root/build-deps}" && pwd)
tree="$dir/libdeflate-1.14"
if [[ ! -f "$tree/lib/deflate_decompress.c" ]]; then
  state="$dir/apt"
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
    >"$state/sources.list"
  apt_options=(-o "Dir::Etc::SourceList=$state/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
               -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache" -o "Debug::NoLocking=1")
  apt-get "${apt_options[@]}" -qq update >&2
  (cd "$dir" && apt-get "${apt_options[@]}" -qq source libdeflate=1.14-1 >&2)
fi
[[ -f "$tree/lib/deflate_decompress.c" ]] || { echo "no libdeflate source in $tree" >&2; exit 1; }
echo "$tree"
