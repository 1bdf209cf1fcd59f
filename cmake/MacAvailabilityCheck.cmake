# The x86_64 installer runs on macOS from ORVALUNE_OLDEST_MACOS (10.10) on, but Zig
# cannot build for anything older than 11.0, where every API the code uses exists.
# So the cross build for x86_64 compiles every source of the programs a Mac runs once
# more as for that oldest release, with any use of a newer API outside an availability
# check (`__builtin_available`) an error, and libc++'s availability markings switched
# on as Apple's libc++ has them. Zig's driver hands clang its own target first; the
# second -triple wins. The objects are not linked.
if(NOT (CMAKE_CROSSCOMPILING AND APPLE AND ORVALUNE_MAC_ARCH STREQUAL "x86_64"))
  return()
endif()

set(checked_sources "")
foreach(target orvalune_common orvalune_platform orvalune_process orvalune_ziplayout
               orvalune_installer OrvaluneInstaller OrvaluneClient)
  get_target_property(target_sources ${target} SOURCES)
  foreach(source ${target_sources})
    if(source MATCHES "\\.(c|cpp)$")
      list(APPEND checked_sources ${source})
    endif()
  endforeach()
endforeach()

add_library(orvalune_oldest_macos_check OBJECT ${checked_sources})
target_link_libraries(orvalune_oldest_macos_check PRIVATE orvalune_installer)
target_compile_options(orvalune_oldest_macos_check PRIVATE
  "SHELL:-Xclang -triple -Xclang x86_64-apple-macosx${ORVALUNE_OLDEST_MACOS}.0"
  -U_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS
  -Werror=unguarded-availability -Werror=unguarded-availability-new)
