#!/usr/bin/env bash
# Checks the universal macOS installer that scripts/build-mac.sh made, as far as that
# is possible without a Mac (nothing here runs it):
#   - both slices, x86_64 and arm64, are there (llvm-lipo-14 -info);
#   - the payload labels are local, 64-byte aligned, in __TEXT,__const, and the bytes
#     from them join to the client archive with the size and CRC-32 the build recorded;
#   - undefined symbols come only from libSystem (and libz, where it is linked);
#   - the arm64 slice's code signature is valid, its page hashes computed afresh;
#   - each slice's minimum macOS version is the one its build was configured with;
#   - the stand-in client inside the payload passes the same checks.
# Each check that fails fails the run. The last line counts them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_MAC_DIR:-$root/build-mac}
installer=$out/OrvaluneInstaller.app/Contents/MacOS/OrvaluneInstaller
check_macho=$out/host/check_macho
archive=$out/client/client.zip
archs=(x86_64 arm64)
libraries=(/usr/lib/libSystem.B.dylib /usr/lib/libz.1.dylib)

for needed in "$installer" "$check_macho" "$archive"; do
  [[ -e $needed ]] || { echo "check-mac: $needed is missing: run scripts/build-mac.sh" >&2; exit 1; }
done

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
  echo "== $1"
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "   passed"
  else
    failed=$((failed + 1))
    echo "   FAILED"
  fi
}

both_slices() {  # both_slices FILE
  local info
  info=$(llvm-lipo-14 -info "$1") || return 1
  echo "  $info"
  llvm-lipo-14 "$1" -verify_arch "${archs[@]}" && "$check_macho" "$1" slices "${archs[@]}"
}

# The same archive went into both builds: one record serves for both slices.
same_record() {
  local first=$out/${archs[0]}/payload/ClientPayloadInfo.h arch
  for arch in "${archs[@]}"; do
    cmp "$first" "$out/$arch/payload/ClientPayloadInfo.h" || return 1
  done
  "$check_macho" "$installer" payload "$archive" "$first"
}

minimum=()
for arch in "${archs[@]}"; do
  target=$(sed -n 's/^CMAKE_OSX_DEPLOYMENT_TARGET:[A-Z]*=//p' "$out/$arch/CMakeCache.txt")
  minimum+=("$arch=${target:-unset}")
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
client=$work/OrvaluneClient
unzip -p "$archive" "Orvalune Client.app/Contents/MacOS/OrvaluneClient" >"$client"

for what in installer client; do
  file=$installer
  [[ $what == client ]] && file=$client
  check "$what: both slices" both_slices "$file"
  if [[ $what == installer ]]; then
    check "$what: payload labels and bytes" same_record
  fi
  check "$what: undefined symbols only from libSystem (and libz)" \
    "$check_macho" "$file" imports "${libraries[@]}"
  check "$what: arm64 code signature" "$check_macho" "$file" signature arm64
  check "$what: minimum macOS per slice (${minimum[*]})" "$check_macho" "$file" minos "${minimum[@]}"
done

echo "mac-checks: $passed passed, $failed failed"
((failed == 0))
