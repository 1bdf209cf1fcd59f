#!/usr/bin/env bash
# Benchmarks on a client archive shaped like the shipped one (552 entries, ~19.6 MB):
# the installer against `unzip -q` (and `bsdtar -xf` where installed), and the cost of
# building the payload into the installer. Not part of the tests.
#   bash bench/run.sh [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-9}
"$root/scripts/install-deps.sh"
BUILD_DIR="$root/build" "$root/scripts/build.sh"
fixture="$root/build-bench/fixture"
rm -rf "$fixture"
"$root/build/make_fixture" "$root/build/OrvaluneClient" "$root/tools/make_client_bundle.sh" "$fixture"

bench="$root/build-bench/build"
cmake -S "$root" -B "$bench" -DCMAKE_BUILD_TYPE=Release -DORVALUNE_BUILD_TESTS=OFF \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DORVALUNE_CLIENT_ARCHIVE="$fixture/fixture.zip" >/dev/null
cmake --build "$bench" -j"$(nproc)" >/dev/null
installer="$bench/OrvaluneInstaller.app/Contents/MacOS/OrvaluneInstaller"

echo "== installation against unzip ($rounds rounds, alternating) =="
"$bench/bench_install" compare "$installer" "$fixture/fixture.zip" "$rounds"

"$bench/bench_install" verify 11
echo "== steps of the transaction =="
"$bench/bench_install" transaction 11
echo "== payload build cost =="
compile=$(awk -v RS='},' '/ClientInstallerBase.cpp"/' "$bench/compile_commands.json" |
  sed -n 's/.*"command": "\(.*\)",.*/\1/p' | sed 's/\\"/"/g')
dir=$(awk -v RS='},' '/ClientInstallerBase.cpp"/' "$bench/compile_commands.json" |
  sed -n 's/.*"directory": "\([^"]*\)".*/\1/p')
(cd "$dir" && "$bench/bench_install" cost "payload translation unit" -- sh -c "$compile")
touch "$fixture/bundle/Orvalune Client.app/Contents/Info.plist"
(cd "$fixture/bundle" && rm -f ../fixture.zip && zip -qry ../fixture.zip "Orvalune Client.app")
"$bench/bench_install" cost "rebuild after a changed archive" -- \
  cmake --build "$bench" --target OrvaluneInstaller
