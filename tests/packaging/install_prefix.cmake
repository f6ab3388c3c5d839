# Installs the already-built library from BUILD_DIR into a fresh PREFIX (the COMPONENTS, Runtime and
# Development by default) and checks that the prefix holds exactly the expected files, with the
# library's links in place; with Python, that the extension finds the library of the prefix through
# its RUNPATH ($ORIGIN-relative), not through a path into the build tree.
#   -DBUILD_DIR=... -DPREFIX=... [-DCOMPONENTS=Runtime,Python] [-DREADELF=...] plus the variables
#   expected_files.cmake reads
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/expected_files.cmake")

if(NOT DEFINED COMPONENTS OR COMPONENTS STREQUAL "")
  set(COMPONENTS Runtime Development)
endif()
string(REPLACE "," ";" COMPONENTS "${COMPONENTS}")

file(REMOVE_RECURSE "${PREFIX}")
foreach(component IN LISTS COMPONENTS)
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                          --component ${component}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "installing component ${component} failed (${result})")
  endif()
endforeach()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(FILTER installed EXCLUDE REGEX "/__pycache__/")
strandel_expected_install_files(expected "" ${COMPONENTS})
strandel_check_files("install prefix" "${installed}" "${expected}")

set(links ".so.${MAJOR}:.so.${VERSION}")
if("Development" IN_LIST COMPONENTS)
  list(APPEND links ".so:.so.${MAJOR}")
endif()
foreach(link_and_target IN LISTS links)
  string(REPLACE ":" ";" pair "${link_and_target}")
  list(GET pair 0 link)
  list(GET pair 1 target)
  file(READ_SYMLINK "${PREFIX}/${LIBDIR}/libstrandel_isaacsim_client${link}" points_to)
  if(NOT points_to STREQUAL "libstrandel_isaacsim_client${target}")
    message(FATAL_ERROR "libstrandel_isaacsim_client${link} points to '${points_to}'")
  endif()
endforeach()

if("Python" IN_LIST COMPONENTS AND READELF)
  file(GLOB extension "${PREFIX}/${PYTHON_PACKAGEDIR}/_core.*so")
  execute_process(COMMAND "${READELF}" -d "${extension}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT dynamic MATCHES "\\((RPATH|RUNPATH)\\)[^[]*\\[([^]\n]*)\\]")
    message(FATAL_ERROR "${extension} carries no RPATH or RUNPATH:\n${dynamic}")
  endif()
  set(runpath "${CMAKE_MATCH_2}")
  get_filename_component(origin "${extension}" DIRECTORY)
  string(REPLACE "$ORIGIN" "${origin}" searched "${runpath}")
  file(REAL_PATH "${searched}" searched)
  file(REAL_PATH "${PREFIX}/${LIBDIR}" libdir)
  if(NOT runpath MATCHES "^\\$ORIGIN(/[^:]*)?$" OR NOT searched STREQUAL libdir)
    message(FATAL_ERROR "${extension}: RUNPATH '${runpath}' is not the prefix's ${LIBDIR} relative to $ORIGIN")
  endif()
endif()
