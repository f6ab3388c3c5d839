# Installs the already-built library from BUILD_DIR into a fresh PREFIX (both components) and checks
# that the prefix holds exactly the expected files, with the library's links in place.
#   -DBUILD_DIR=... -DPREFIX=... plus the variables expected_files.cmake reads
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/expected_files.cmake")

file(REMOVE_RECURSE "${PREFIX}")
foreach(component Runtime Development)
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                          --component ${component}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "installing component ${component} failed (${result})")
  endif()
endforeach()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
strandel_expected_install_files(expected "" Runtime Development)
strandel_check_files("install prefix" "${installed}" "${expected}")

set(library "${PREFIX}/${LIBDIR}/libstrandel_isaacsim_client.so")
foreach(link_and_target ".so:.so.${MAJOR}" ".so.${MAJOR}:.so.${VERSION}")
  string(REPLACE ":" ";" pair "${link_and_target}")
  list(GET pair 0 link)
  list(GET pair 1 target)
  file(READ_SYMLINK "${PREFIX}/${LIBDIR}/libstrandel_isaacsim_client${link}" points_to)
  if(NOT points_to STREQUAL "libstrandel_isaacsim_client${target}")
    message(FATAL_ERROR "libstrandel_isaacsim_client${link} points to '${points_to}'")
  endif()
endforeach()
