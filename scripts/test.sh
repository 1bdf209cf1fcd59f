#!/usr/bin/env bash
# Builds and runs every test: the whole suite, then the unit and process tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the tests of the threaded
# extraction under ThreadSanitizer, then each fuzzer for a short bounded time.
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

tsan="$root/build-tsan"
cmake -S "$root" -B "$tsan" -DORVALUNE_TSAN=ON -DORVALUNE_BUILD_BENCH=OFF >/dev/null
cmake --build "$tsan" -j"$(nproc)" --target thread_tests
(cd "$tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j"$(nproc)" -L '^threads$' -E '^FaultTest\.Killed')

"$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-20}"
