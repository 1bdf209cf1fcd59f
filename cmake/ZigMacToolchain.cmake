# Cross-compiles for macOS on Linux with Zig's bundled clang, macOS headers, libSystem
# stubs and Mach-O linker (which ad-hoc signs arm64 executables).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/ZigMacToolchain.cmake \
#         -DORVALUNE_ZIG=/path/to/zig -DORVALUNE_MAC_ARCH=arm64 \
#         -DORVALUNE_MAC_PREFIX=/path/to/poco-for-that-arch ...
#
# ORVALUNE_MAC_ARCH is x86_64 or arm64. ORVALUNE_MAC_PREFIX lists the folders that
# hold the libraries built for the same architecture (POCO, zlib); find_package and
# the find_* commands look only there, never in Linux's own.
#
# Zig 0.11's lowest macOS target is 11.0, below which it carries no headers, so the
# deployment target is fixed at 11.0; builds for older systems are made on a Mac with
# Apple's SDK. Zig links its own libc++ and libc++abi statically, where Apple's
# toolchain links the system's libc++.1.dylib.

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_OSX_SYSROOT "" CACHE PATH "No SDK: Zig brings the macOS headers and stubs")
set(CMAKE_OSX_DEPLOYMENT_TARGET "11.0" CACHE STRING "The lowest macOS release Zig 0.11 targets" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "One architecture per build; lipo joins them" FORCE)

# try_compile projects read this file again and need the same inputs.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVALUNE_ZIG ORVALUNE_MAC_ARCH ORVALUNE_MAC_PREFIX)
foreach(var ORVALUNE_ZIG ORVALUNE_MAC_ARCH)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} $ENV{${var}})
  endif()
  if(NOT ${var})
    message(FATAL_ERROR "ZigMacToolchain: set ${var}")
  endif()
endforeach()

if(ORVALUNE_MAC_ARCH STREQUAL "x86_64")
  set(zig_arch x86_64)
elseif(ORVALUNE_MAC_ARCH STREQUAL "arm64")
  set(zig_arch aarch64)
else()
  message(FATAL_ERROR "ZigMacToolchain: ORVALUNE_MAC_ARCH is x86_64 or arm64, not ${ORVALUNE_MAC_ARCH}")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${ORVALUNE_MAC_ARCH})
# Zig needs major and minor in the target: macos.11.0, not macos.11.
set(zig_target ${zig_arch}-macos.${CMAKE_OSX_DEPLOYMENT_TARGET})

# CMake wants one program per tool, so each `zig <tool>` gets a small launcher, kept
# beside Zig itself and rewritten only when it changes. The compiler launchers keep
# Zig's cache (its libc++ and compiler-rt built for each target) beside Zig too, and
# drop "-Wl,-v", which CMake's compiler inspection passes and Zig's linker refuses.
get_filename_component(zig_home ${ORVALUNE_ZIG} DIRECTORY)
set(launchers ${zig_home}/launchers/${zig_target})
foreach(tool cc c++ ar ranlib)
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    string(CONCAT text "#!/bin/sh\n"
           ": \"\${ZIG_GLOBAL_CACHE_DIR:=${zig_home}/cache}\"\n"
           "export ZIG_GLOBAL_CACHE_DIR\n"
           "for arg; do shift; [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"; done\n"
           "exec \"${ORVALUNE_ZIG}\" ${tool} -target ${zig_target} \"$@\"\n")
  else()
    string(CONCAT text "#!/bin/sh\n" "exec \"${ORVALUNE_ZIG}\" ${tool} \"$@\"\n")
  endif()
  set(existing "")
  if(EXISTS ${launchers}/${tool})
    file(READ ${launchers}/${tool} existing)
  endif()
  if(NOT existing STREQUAL text)
    file(WRITE ${launchers}/${tool} "${text}")
    file(CHMOD ${launchers}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

set(CMAKE_C_COMPILER ${launchers}/cc)
set(CMAKE_CXX_COMPILER ${launchers}/c++)
set(CMAKE_ASM_COMPILER ${launchers}/cc)
set(CMAKE_AR ${launchers}/ar CACHE FILEPATH "Zig's archiver" FORCE)
set(CMAKE_RANLIB ${launchers}/ranlib CACHE FILEPATH "Zig's ranlib" FORCE)

# What Zig's macOS headers lack (the unified-logging header) comes from stand-ins for
# the SDK's files, used by this build only.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/macos-sdk-stand-ins)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/macos-sdk-stand-ins)

# Headers and libraries come only from the prefixes given; programs run on the host.
set(CMAKE_FIND_ROOT_PATH ${ORVALUNE_MAC_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
