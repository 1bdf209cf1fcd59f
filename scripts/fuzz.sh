#!/usr/bin/env bash
# Builds the fuzzers (clang, libFuzzer, ASan/UBSan) and runs each for SECONDS (default
# 20) from the committed seeds. A longer run:  bash scripts/fuzz.sh 600
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
fuzz="$root/build-fuzz"
CC=clang CXX=clang++ BUILD_DIR="$fuzz" "$root/scripts/build.sh" \
  -DORVALUNE_FUZZ=ON -DORVALUNE_BUILD_TESTS=OFF -DORVALUNE_BUILD_BENCH=OFF
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
declare -A corpus=([AddressFuzzer]=address [UtfFuzzer]=utf [ExtractFuzzer]=extract)
for fuzzer in AddressFuzzer UtfFuzzer ExtractFuzzer; do
  mkdir -p "$work/$fuzzer"
  echo "== $fuzzer: $seconds s =="
  "$fuzz/fuzz/$fuzzer" "$work/$fuzzer" "$root/fuzz/corpus/${corpus[$fuzzer]}" \
    -max_total_time="$seconds" -timeout=10 -artifact_prefix="$work/$fuzzer-" -rss_limit_mb=4096 -print_final_stats=1 \
    2>"$work/$fuzzer.log" || { tail -50 "$work/$fuzzer.log"; cp "$work/$fuzzer"-* "$root/build-fuzz/" 2>/dev/null; exit 1; }
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$work/$fuzzer.log" || true
done
echo "fuzzers: 3 passed, 0 failed"
