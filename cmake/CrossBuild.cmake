# What changes when the build cross-compiles (the macOS build on Linux, through
# cmake/ZigMacToolchain.cmake): the tools that run during the build come from a native
# build, and nothing that has to run here (tests, benchmarks) is built.
#
#   -DORVALUNE_HOST_TOOLS=DIR   DIR holds payload_gen and check_archive built for this machine

set(ORVALUNE_HOST_TOOLS "" CACHE PATH
    "Folder with payload_gen and check_archive built for the build machine (cross builds)")
if(CMAKE_CROSSCOMPILING)
  if(NOT ORVALUNE_HOST_TOOLS)
    message(FATAL_ERROR "A cross build runs payload_gen and check_archive on this machine: "
                        "build them natively and name their folder with -DORVALUNE_HOST_TOOLS=DIR")
  endif()
  set(ORVALUNE_BUILD_TESTS OFF CACHE BOOL "Tests run where they are built" FORCE)
  set(ORVALUNE_BUILD_BENCH OFF CACHE BOOL "Benchmarks run where they are built" FORCE)
endif()

if(ORVALUNE_HOST_TOOLS)
  foreach(tool payload_gen check_archive)
    if(NOT EXISTS ${ORVALUNE_HOST_TOOLS}/${tool})
      message(FATAL_ERROR "ORVALUNE_HOST_TOOLS: ${ORVALUNE_HOST_TOOLS}/${tool} not found")
    endif()
    add_executable(${tool} IMPORTED)
    set_target_properties(${tool} PROPERTIES IMPORTED_LOCATION ${ORVALUNE_HOST_TOOLS}/${tool})
  endforeach()
else()
  add_executable(payload_gen tools/payload_gen.cpp)
  target_link_libraries(payload_gen PRIVATE ZLIB::ZLIB)
  add_executable(check_archive tools/check_archive.cpp)
  target_link_libraries(check_archive PRIVATE orvalune_ziplayout)
endif()
