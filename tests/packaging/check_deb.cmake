# Builds the Debian packages of BUILD_DIR with cpack and checks them with dpkg-deb.
#   The library package: its control fields, libcurl >= MIN_CURL_VERSION both at run time and for
#   development, its shlibs entry, and that it holds exactly the library (in the multiarch directory
#   when DPKG_ARCHITECTURE is given), its links, the headers, the CMake package, the .pc file and the
#   license, under /usr; unpacked, its .pc file gives plain /usr paths.
#   The stand-in bridge package (when MOCK_BRIDGE_PACKAGE is set): its fields, exactly the program,
#   the protocol document and the license; unpacked, the program answers --help.
#   -DCPACK=... -DDPKG_DEB=... -DBUILD_DIR=... -DOUTPUT_DIR=...
#   -DMOCK_BRIDGE_PACKAGE=<name or empty> -DMIN_CURL_VERSION=... -DEXPECT_SHLIBDEPS=ON|OFF
#   -DDPKG_ARCHITECTURE=<dpkg-architecture or empty> -DPKG_CONFIG=<pkg-config or empty>
#   -DSOURCE_DIR=<the library's sources> plus the variables expected_files.cmake reads
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/expected_files.cmake")

function(run out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}):\n${output}\n${error}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${OUTPUT_DIR}")
run(ignored "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${OUTPUT_DIR}")
# Packages of other components (made by the same cpack run) are not checked here.
file(GLOB packages "${OUTPUT_DIR}/*.deb")

# Sets `out` to the one .deb named <package>_<version>-1_<architecture>.deb.
function(find_package_file out package)
  string(REPLACE "." "\\." version_pattern "${VERSION}")
  set(found "")
  foreach(file IN LISTS packages)
    get_filename_component(name "${file}" NAME)
    if(name MATCHES "^${package}_${version_pattern}-1_[a-z0-9]+\\.deb$")
      list(APPEND found "${file}")
    endif()
  endforeach()
  list(LENGTH found found_count)
  if(NOT found_count EQUAL 1)
    message(FATAL_ERROR "cpack made ${found_count} .deb files for ${package}: ${packages}")
  endif()
  message(STATUS "package: ${found}")
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

function(expect_field deb name pattern)
  run(value "${DPKG_DEB}" --field "${deb}" ${name})
  string(STRIP "${value}" value)
  if(NOT value MATCHES "${pattern}")
    message(FATAL_ERROR "${deb}: field ${name} is '${value}', expected to match ${pattern}")
  endif()
endfunction()

function(expect_no_field_match deb name pattern)
  run(value "${DPKG_DEB}" --field "${deb}" ${name})
  if(value MATCHES "${pattern}")
    message(FATAL_ERROR "${deb}: field ${name} is '${value}', expected not to match ${pattern}")
  endif()
endfunction()

# Fails unless one clause of the Depends field names `package`, and every alternative of that clause
# is a libcurl package asking for at least MIN_CURL_VERSION (an unversioned alternative such as the
# virtual libcurl-dev would let an older libcurl satisfy the clause).
function(expect_recent_curl deb package)
  run(depends "${DPKG_DEB}" --field "${deb}" Depends)
  string(STRIP "${depends}" depends)
  string(REPLACE "," ";" clauses "${depends}")
  foreach(clause IN LISTS clauses)
    string(REPLACE "|" ";" alternatives "${clause}")
    set(names "")
    set(recent TRUE)
    foreach(alternative IN LISTS alternatives)
      string(STRIP "${alternative}" alternative)
      if(alternative MATCHES "^(libcurl[^ ]*) \\(>= ([0-9.]+)\\)$"
         AND CMAKE_MATCH_2 VERSION_GREATER_EQUAL MIN_CURL_VERSION)
        list(APPEND names "${CMAKE_MATCH_1}")
      else()
        set(recent FALSE)
      endif()
    endforeach()
    if(recent AND package IN_LIST names)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${deb}: no Depends clause asks for ${package} >= ${MIN_CURL_VERSION} "
                      "in every alternative: '${depends}'")
endfunction()

# Sets `files` to the paths (without "./") of the regular files and links of `deb`, and `links` to
# "path:target" for each link. Listing lines look like
# "-rw-r--r-- root/root 1234 2024-01-01 12:00 ./usr/include/strandel/x.hpp" or
# "lrwxrwxrwx root/root 0 2024-01-01 12:00 ./usr/lib/libx.so -> libx.so.0".
function(list_contents deb files_out links_out)
  run(listing "${DPKG_DEB}" --contents "${deb}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(files "")
  set(links "")
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      continue()
    endif()
    if(NOT line MATCHES "^([-dl])[^ ]* +[^ ]+ +[0-9]+ +[^ ]+ +[^ ]+ +\\./(.*)$")
      message(FATAL_ERROR "unexpected dpkg-deb listing line: ${line}")
    endif()
    set(type "${CMAKE_MATCH_1}")
    set(path "${CMAKE_MATCH_2}")
    if(type STREQUAL "d")
      continue()
    endif()
    if(type STREQUAL "l")
      string(REPLACE " -> " ":" path "${path}")
      list(APPEND links "${path}")
      string(REGEX REPLACE ":.*" "" path "${path}")
    endif()
    list(APPEND files "${path}")
  endforeach()
  set(${files_out} "${files}" PARENT_SCOPE)
  set(${links_out} "${links}" PARENT_SCOPE)
endfunction()

function(expect_same_file installed source)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${installed}" "${source}"
                  RESULT_VARIABLE different)
  if(NOT different EQUAL 0)
    message(FATAL_ERROR "${installed} differs from ${source}")
  endif()
endfunction()

# --- The library package ---
find_package_file(library_deb "${PACKAGE_NAME}")
string(REPLACE "." "\\." version_pattern "${VERSION}")
expect_field("${library_deb}" Package "^${PACKAGE_NAME}$")
expect_field("${library_deb}" Version "^${version_pattern}-1$")
expect_field("${library_deb}" Section "^libdevel$")
expect_field("${library_deb}" Depends "nlohmann-json3-dev \\(>= [0-9.]+\\)")
expect_recent_curl("${library_deb}" libcurl4)
expect_recent_curl("${library_deb}" libcurl4-openssl-dev)
if(EXPECT_SHLIBDEPS)
  expect_field("${library_deb}" Depends "(^|, )libstdc\\+\\+6( |,|$)")
endif()
run(shlibs "${DPKG_DEB}" --info "${library_deb}" shlibs)
string(STRIP "${shlibs}" shlibs)
if(NOT shlibs STREQUAL "libstrandel_isaacsim_client ${MAJOR} ${PACKAGE_NAME} (>= ${VERSION}-1)")
  message(FATAL_ERROR "unexpected shlibs entry '${shlibs}'")
endif()

# Debian looks for libraries in /usr/lib/<multiarch triplet>.
if(DPKG_ARCHITECTURE)
  run(triplet "${DPKG_ARCHITECTURE}" -qDEB_HOST_MULTIARCH)
  string(STRIP "${triplet}" triplet)
  if(NOT LIBDIR STREQUAL "lib/${triplet}")
    message(FATAL_ERROR "the library is installed to ${LIBDIR}, not to Debian's lib/${triplet}")
  endif()
endif()
list_contents("${library_deb}" files links)
strandel_expected_install_files(expected "usr/")
strandel_check_files("${library_deb}" "${files}" "${expected}")
set(library "usr/${LIBDIR}/libstrandel_isaacsim_client.so")
foreach(link "${library}:libstrandel_isaacsim_client.so.${MAJOR}"
             "${library}.${MAJOR}:libstrandel_isaacsim_client.so.${VERSION}")
  if(NOT link IN_LIST links)
    message(FATAL_ERROR "the package lacks the link ${link}; links: ${links}")
  endif()
endforeach()

set(unpacked "${OUTPUT_DIR}/unpacked")
file(MAKE_DIRECTORY "${unpacked}/library" "${unpacked}/bridge")
run(ignored "${DPKG_DEB}" -x "${library_deb}" "${unpacked}/library")
expect_same_file("${unpacked}/library/usr/${DATAROOTDIR}/doc/${PACKAGE_NAME}/copyright" "${SOURCE_DIR}/LICENSE")
# The installed .pc file names /usr itself, not a path relative to its own directory.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} "${unpacked}/library/usr/${PCDIR}")
  foreach(variable_and_value "prefix:/usr" "libdir:/usr/${LIBDIR}" "includedir:/usr/${INCLUDEDIR}")
    string(REPLACE ":" ";" pair "${variable_and_value}")
    list(GET pair 0 variable)
    list(GET pair 1 expected_value)
    run(value "${PKG_CONFIG}" --variable=${variable} strandel_isaacsim_client)
    string(STRIP "${value}" value)
    if(NOT value STREQUAL expected_value)
      message(FATAL_ERROR "the packaged .pc file gives ${variable}=${value}, expected ${expected_value}")
    endif()
  endforeach()
  run(cflags "${PKG_CONFIG}" --cflags strandel_isaacsim_client)
  string(FIND "${cflags}" "${unpacked}" unpacked_at)
  if(cflags MATCHES "/\\.\\./" OR NOT unpacked_at EQUAL -1)
    message(FATAL_ERROR "the packaged .pc file gives unclean --cflags: ${cflags}")
  endif()
endif()

# --- The stand-in bridge package ---
if(NOT MOCK_BRIDGE_PACKAGE)
  return()
endif()
find_package_file(bridge_deb "${MOCK_BRIDGE_PACKAGE}")
expect_field("${bridge_deb}" Package "^${MOCK_BRIDGE_PACKAGE}$")
expect_field("${bridge_deb}" Version "^${version_pattern}-1$")
# It links urdfdom and the C++ runtime, neither libcurl nor the library.
if(EXPECT_SHLIBDEPS)
  expect_field("${bridge_deb}" Depends "(^|, )liburdfdom-model[^ ,]*( |,|$)")
  expect_field("${bridge_deb}" Depends "(^|, )libstdc\\+\\+6( |,|$)")
endif()
expect_no_field_match("${bridge_deb}" Depends "libcurl|${PACKAGE_NAME}")

list_contents("${bridge_deb}" files links)
set(bridge_docs "usr/${DATAROOTDIR}/doc/${MOCK_BRIDGE_PACKAGE}")
set(expected "^usr/${BINDIR}/strandel-mock-bridge$" "^${bridge_docs}/bridge-protocol\\.md$"
             "^${bridge_docs}/copyright$")
strandel_check_files("${bridge_deb}" "${files}" "${expected}")

run(ignored "${DPKG_DEB}" -x "${bridge_deb}" "${unpacked}/bridge")
expect_same_file("${unpacked}/bridge/${bridge_docs}/copyright" "${SOURCE_DIR}/LICENSE")
expect_same_file("${unpacked}/bridge/${bridge_docs}/bridge-protocol.md" "${SOURCE_DIR}/docs/bridge-protocol.md")
run(usage "${unpacked}/bridge/usr/${BINDIR}/strandel-mock-bridge" --help)
if(NOT usage MATCHES "(^|\n)Usage: strandel-mock-bridge " OR NOT usage MATCHES "--port N")
  message(FATAL_ERROR "the packaged strandel-mock-bridge --help printed:\n${usage}")
endif()
