# The x86_64 installer runs on macOS from ORVALUNE_OLDEST_MACOS (10.10) on, but Zig
# cannot build for anything older than 11.0, where every API the code uses exists.
# So the cross build for x86_64 compiles every source of the programs a Mac runs (the
# installer, the client and every library of this project they link) once more as
# for that oldest release, with any use of a newer API outside an availability check
# (`__builtin_available`) an error, and libc++'s availability markings switched on as
# Apple's libc++ has them. Zig's driver hands clang its own target first; the second
# -triple wins. The objects are not linked.
if(NOT (CMAKE_CROSSCOMPILING AND APPLE AND ORVALUNE_MAC_ARCH STREQUAL "x86_64"))
  return()
endif()

set(pending OrvaluneInstaller OrvaluneClient)
set(visited "")
set(own_targets "")
set(checked_sources "")
while(pending)
  list(POP_FRONT pending target)
  if(NOT TARGET ${target} OR target IN_LIST visited)
    continue()
  endif()
  list(APPEND visited ${target})
  get_target_property(imported ${target} IMPORTED)
  get_target_property(thirdParty ${target} ORVALUNE_THIRD_PARTY)
  if(imported OR thirdParty)
    continue()  # not this project's code
  endif()
  list(APPEND own_targets ${target})
  get_target_property(target_dir ${target} SOURCE_DIR)
  get_target_property(target_sources ${target} SOURCES)
  foreach(source ${target_sources})
    if(source MATCHES "\\.(c|cpp)$")
      if(NOT IS_ABSOLUTE ${source})
        set(source ${target_dir}/${source})
      endif()
      list(APPEND checked_sources ${source})
    endif()
  endforeach()
  get_target_property(links ${target} LINK_LIBRARIES)
  if(links)
    list(APPEND pending ${links})
  endif()
endwhile()
list(REMOVE_DUPLICATES checked_sources)

# The installer's usage requirements cover every library here; the targets themselves
# come first, so that what they generate (the payload) is there.
add_library(orvalune_oldest_macos_check OBJECT ${checked_sources})
target_link_libraries(orvalune_oldest_macos_check PRIVATE orvalune_installer)
add_dependencies(orvalune_oldest_macos_check ${own_targets})
target_compile_options(orvalune_oldest_macos_check PRIVATE
  "SHELL:-Xclang -triple -Xclang x86_64-apple-macosx${ORVALUNE_OLDEST_MACOS}.0"
  -U_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS
  -Werror=unguarded-availability -Werror=unguarded-availability-new)
