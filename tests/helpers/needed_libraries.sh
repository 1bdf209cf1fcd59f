#!/bin/sh
# needed_libraries.sh PROGRAM: fails when PROGRAM names a shared library other than
# libc, libm, zlib and the dynamic loader, such as a C++ runtime or a POCO library that
# the build should have linked in.
set -eu
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
if [ -z "$needed" ]; then
  echo "no shared libraries read from $1"
  exit 1
fi
extra=$(printf '%s\n' "$needed" |
  grep -vxE 'libc\.so\.6|libm\.so\.6|libz\.so\.1|ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1' || true)
if [ -n "$extra" ]; then
  echo "$1 needs:" $extra
  exit 1
fi
echo "$1 needs only:" $needed
