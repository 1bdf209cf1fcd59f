#!/usr/bin/env bash
# Benchmarks on a client archive shaped like the shipped one (552 entries, ~19.6 MB) and
# on a second one that also holds a 256 MiB text file (~43 MB): the installer against
# `unzip -q` (and `bsdtar -xf` where installed), on tmpfs (/dev/shm, where it exists) and
# on disk, the entry inflater with one and two threads, the payload check, and the cost
# of building the payload into the installer. Not part of the tests.
#   bash bench/run.sh [ROUNDS]      (default 11 alternating rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-11}
"$root/scripts/install-deps.sh"
BUILD_DIR="$root/build" "$root/scripts/build.sh"

# Fixtures and one Release build carrying each.
fixture="$root/build-bench/fixture"
big_fixture="$root/build-bench/fixture-big"
rm -rf "$fixture" "$big_fixture"
"$root/build/make_fixture" "$root/build/OrvaluneClient" "$root/tools/make_client_bundle.sh" "$fixture"
"$root/build/make_fixture" "$root/build/OrvaluneClient" "$root/tools/make_client_bundle.sh" "$big_fixture" 256

poco=$("$root/scripts/poco-static.sh")
bench="$root/build-bench/build"
big_bench="$root/build-bench/build-big"
cmake -S "$root" -B "$bench" -DCMAKE_BUILD_TYPE=Release -DORVALUNE_BUILD_TESTS=OFF -DORVALUNE_POCO_PREFIX="$poco" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DORVALUNE_CLIENT_ARCHIVE="$fixture/fixture.zip" >/dev/null
cmake --build "$bench" -j"$(nproc)" >/dev/null
cmake -S "$root" -B "$big_bench" -DCMAKE_BUILD_TYPE=Release -DORVALUNE_BUILD_TESTS=OFF -DORVALUNE_POCO_PREFIX="$poco" \
  -DORVALUNE_CLIENT_ARCHIVE="$big_fixture/fixture.zip" >/dev/null
cmake --build "$big_bench" -j"$(nproc)" --target OrvaluneInstaller bench_install >/dev/null
installer=OrvaluneInstaller.app/Contents/MacOS/OrvaluneInstaller

# Work folders: tmpfs where there is one, and the disk this tree lies on.
dirs=()
tmpfs=""
if [[ -d /dev/shm && -w /dev/shm ]]; then
  tmpfs=$(mktemp -d /dev/shm/orvalune-bench.XXXXXX)
  dirs+=("$tmpfs")
fi
disk="$root/build-bench/work"
mkdir -p "$disk"
dirs+=("$disk")
trap '[[ -n "$tmpfs" ]] && rm -rf "$tmpfs"' EXIT

echo "== installation against unzip: the usual fixture ($rounds rounds, alternating) =="
"$bench/bench_install" compare "$bench/$installer" "$fixture/fixture.zip" "$rounds" "${dirs[@]}"
echo "== installation against unzip: the fixture with 256 MiB of text ($rounds rounds, alternating) =="
"$big_bench/bench_install" compare "$big_bench/$installer" "$big_fixture/fixture.zip" "$rounds" "${dirs[@]}"

echo "== payload check, first call in a fresh process ($rounds rounds, alternating) =="
# Prints "median (min-max)" of the numbers on standard input.
median() { sort -n | awk '{v[NR] = $1} END {printf "median %.2f ms (min %.2f, max %.2f, %d runs)\n", v[int((NR + 1) / 2)], v[1], v[NR], NR}'; }
# The bench program is run from a copy: a file just written by the linker may sit in the
# file cache in 2 MiB pages, which map in far faster than the small pages a copied or
# downloaded installer usually gets.
copy="$root/build-bench/bench_install.copy"
cp "$bench/bench_install" "$copy"
fromfile=$(mktemp)
mapped=$(mktemp)
for ((i = 0; i < rounds; i++)); do
  "$copy" verify 1 | sed -n 's/.*first \([0-9.]*\) ms.*/\1/p' >>"$fromfile"
  "$copy" verify 1 mapped | sed -n 's/.*first \([0-9.]*\) ms.*/\1/p' >>"$mapped"
done
echo "read from the file: $(median <"$fromfile")"
echo "mapped in place:    $(median <"$mapped")"
rm -f "$fromfile" "$mapped"
"$copy" verify 11
"$copy" cost "payload check alone, read from the file" -- "$copy" verify 1
"$copy" cost "payload check alone, mapped in place" -- "$copy" verify 1 mapped
rm -f "$copy"

echo "== steps of the transaction =="
"$bench/bench_install" transaction 11
echo "== payload build cost =="
compile=$(awk -v RS='},' '/EmbeddedPayload.cpp"/' "$bench/compile_commands.json" |
  sed -n 's/.*"command": "\(.*\)",.*/\1/p' | sed 's/\\"/"/g')
dir=$(awk -v RS='},' '/EmbeddedPayload.cpp"/' "$bench/compile_commands.json" |
  sed -n 's/.*"directory": "\([^"]*\)".*/\1/p')
(cd "$dir" && "$bench/bench_install" cost "payload translation unit" -- sh -c "$compile")
touch "$fixture/bundle/Orvalune Client.app/Contents/Info.plist"
(cd "$fixture/bundle" && rm -f ../fixture.zip && zip -qry ../fixture.zip "Orvalune Client.app")
"$bench/bench_install" cost "rebuild after a changed archive" -- \
  cmake --build "$bench" --target OrvaluneInstaller
