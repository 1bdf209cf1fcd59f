#!/usr/bin/env bash
# Builds and runs every test: the whole suite, then the unit and process tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzzer for a short
# bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

asan="$root/build-asan"
BUILD_DIR="$asan" "$root/scripts/build.sh" -DORVALUNE_SANITIZE=ON -DORVALUNE_BUILD_BENCH=OFF
(cd "$asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$(nproc)" -E '^(EndToEndTest|FaultTest)\.')

"$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-20}"
