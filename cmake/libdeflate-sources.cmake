# Compiles libdeflate 1.14 from its source tree into a static library, for builds that
# cannot use the system's (the macOS cross build, for each architecture). Release 1.14
# builds with a Makefile only, so its C files are listed here. Every file is compiled
# for every target: the x86 and ARM back ends guard themselves by architecture, so one
# list serves x86-64, arm64 and a universal build alike.
#
# In:  ORVALUNE_LIBDEFLATE_SOURCE_DIR, the unpacked source (for example what
#      `apt-get source libdeflate` unpacks from Debian 12: libdeflate-1.14/).
# Out: the target libdeflate::libdeflate, as the system's library would provide it.

set(libdeflate_dir ${ORVALUNE_LIBDEFLATE_SOURCE_DIR})
if(NOT EXISTS ${libdeflate_dir}/libdeflate.h OR NOT EXISTS ${libdeflate_dir}/lib/deflate_decompress.c)
  message(FATAL_ERROR "${libdeflate_dir} is not a libdeflate source tree (no libdeflate.h, "
                      "lib/deflate_decompress.c)")
endif()
file(STRINGS ${libdeflate_dir}/libdeflate.h libdeflate_version
     REGEX "#define LIBDEFLATE_VERSION_STRING")
if(NOT libdeflate_version MATCHES "\"1\\.14\"")
  message(WARNING "libdeflate sources in ${libdeflate_dir} are not release 1.14 "
                  "(${libdeflate_version}); the file list below is that release's")
endif()

add_library(orvalune_libdeflate STATIC
  ${libdeflate_dir}/lib/adler32.c
  ${libdeflate_dir}/lib/crc32.c
  ${libdeflate_dir}/lib/deflate_compress.c
  ${libdeflate_dir}/lib/deflate_decompress.c
  ${libdeflate_dir}/lib/gzip_compress.c
  ${libdeflate_dir}/lib/gzip_decompress.c
  ${libdeflate_dir}/lib/utils.c
  ${libdeflate_dir}/lib/zlib_compress.c
  ${libdeflate_dir}/lib/zlib_decompress.c
  ${libdeflate_dir}/lib/x86/cpu_features.c
  ${libdeflate_dir}/lib/arm/cpu_features.c)
# The project's warning and sanitizer options are for its own code; the library gets
# the flags of its own Makefile.
set_target_properties(orvalune_libdeflate PROPERTIES
  COMPILE_OPTIONS "-O2;-fomit-frame-pointer;-w"
  C_STANDARD 99
  C_EXTENSIONS OFF
  POSITION_INDEPENDENT_CODE ON
  ORVALUNE_THIRD_PARTY ON)
target_include_directories(orvalune_libdeflate PUBLIC ${libdeflate_dir})
add_library(libdeflate::libdeflate ALIAS orvalune_libdeflate)
