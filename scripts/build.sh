#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build/), against static POCO libraries
# built once into the cache (scripts/poco-static.sh). Extra arguments go to cmake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
poco=$("$root/scripts/poco-static.sh")
cmake -S "$root" -B "$build" -DORVALUNE_POCO_PREFIX="$poco" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
