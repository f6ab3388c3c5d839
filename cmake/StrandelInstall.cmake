# Install rules, the CMake package (installed and build-tree), the pkg-config file and, at top level,
# the Debian packages. Included by the top-level CMakeLists.txt when STRANDEL_INSTALL is on.
#
# Components, one Debian package each (`cpack -G DEB`):
#   Runtime      libstrandel-isaacsim-client0: the versioned shared library and its SONAME link
#   Development  libstrandel-isaacsim-client-dev: headers, the unversioned link, the CMake package,
#                the .pc file
#   Tools        strandel-tools (declared in cli/): the strandel command line, its bash completion
#                and man page
#   Python       python3-strandel (declared in python/package.cmake): the module and its stub
#   MockBridge   strandel-mock-bridge (declared in mock_bridge/): the stand-in, its protocol, man page
#   Doc          strandel-doc: README, upstream changelog, examples, the protocol and (docs/) the
#                HTML API reference when the docs target has been built
# Every package carries /usr/share/doc/<package>/copyright (machine-readable) and
# changelog.Debian.gz, and its lintian overrides when cmake/debian/lintian/<package> exists.
include(CMakePackageConfigHelpers)

# Names of the Debian packages; the license and documents go to share/doc/<package>.
# STRANDEL_LIBRARY_PACKAGE is the runtime package, the one programs built on the library depend on.
set(STRANDEL_LIBRARY_PACKAGE "libstrandel-isaacsim-client${PROJECT_VERSION_MAJOR}")
set(STRANDEL_DEV_PACKAGE "libstrandel-isaacsim-client-dev")
set(STRANDEL_TOOLS_PACKAGE "strandel-tools")
set(STRANDEL_PYTHON_PACKAGE "python3-strandel")
set(STRANDEL_MOCK_BRIDGE_PACKAGE "strandel-mock-bridge")
set(STRANDEL_DOC_PACKAGE "strandel-doc")
set(STRANDEL_DEBIAN_REVISION 1)

set(STRANDEL_DEB_MAINTAINER "strandel maintainers <maintainers@strandel.invalid>"
    CACHE STRING "Maintainer of the Debian packages and signer of their changelog: Name <address>")
if(NOT STRANDEL_DEB_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR "STRANDEL_DEB_MAINTAINER must read \"Name <address>\", not '${STRANDEL_DEB_MAINTAINER}'")
endif()

# What every package's share/doc/<package> holds: the copyright file in Debian's machine-readable
# format and the Debian changelog (gzip -9n, as dpkg-buildpackage would leave it), both generated
# here from cmake/debian/.
set(_strandel_debian_dir "${CMAKE_CURRENT_LIST_DIR}/debian")
set(_strandel_debian_out "${PROJECT_BINARY_DIR}/debian")
file(MAKE_DIRECTORY "${_strandel_debian_out}")
configure_file("${_strandel_debian_dir}/copyright.in" "${_strandel_debian_out}/copyright" @ONLY)
configure_file("${_strandel_debian_dir}/changelog.in" "${_strandel_debian_out}/changelog" @ONLY)
find_program(STRANDEL_GZIP gzip)
mark_as_advanced(STRANDEL_GZIP)
set(STRANDEL_DEBIAN_CHANGELOG "")
if(STRANDEL_GZIP)
  # gzip -n leaves out the name and time stamp: the same input gives the same bytes.
  foreach(_strandel_pair "changelog:changelog.Debian.gz" "${PROJECT_SOURCE_DIR}/CHANGELOG.md:changelog.gz")
    string(REPLACE ":" ";" _strandel_pair "${_strandel_pair}")
    list(GET _strandel_pair 0 _strandel_in)
    list(GET _strandel_pair 1 _strandel_out)
    if(NOT IS_ABSOLUTE "${_strandel_in}")
      set(_strandel_in "${_strandel_debian_out}/${_strandel_in}")
    endif()
    if(EXISTS "${_strandel_in}")
      execute_process(COMMAND "${STRANDEL_GZIP}" -9nc INPUT_FILE "${_strandel_in}"
                      OUTPUT_FILE "${_strandel_debian_out}/${_strandel_out}" RESULT_VARIABLE _strandel_rc)
      if(NOT _strandel_rc EQUAL 0)
        message(FATAL_ERROR "gzip of ${_strandel_in} failed (${_strandel_rc})")
      endif()
    endif()
  endforeach()
  set(STRANDEL_DEBIAN_CHANGELOG "${_strandel_debian_out}/changelog.Debian.gz")
endif()
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${_strandel_debian_dir}/copyright.in" "${_strandel_debian_dir}/changelog.in" "${PROJECT_SOURCE_DIR}/CHANGELOG.md")

# strandel_install_debian_docs(<package> <component>): the copyright file, the Debian changelog and
# the package's lintian overrides (cmake/debian/lintian/<package>, when present) in <component>.
function(strandel_install_debian_docs package component)
  install(FILES "${PROJECT_BINARY_DIR}/debian/copyright" ${STRANDEL_DEBIAN_CHANGELOG}
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}"
    COMPONENT ${component})
  if(EXISTS "${PROJECT_SOURCE_DIR}/cmake/debian/lintian/${package}")
    install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/lintian/${package}"
      DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
      COMPONENT ${component})
  endif()
endfunction()

# strandel_install_manpage(<target> <component> <one-line description>): man page <target>.1,
# written by help2man from the built program's --help, installed gzipped to share/man/man1.
# Without help2man, when cross-compiling or in a sanitizer build (which packages nothing) the program
# goes without one.
find_program(STRANDEL_HELP2MAN help2man)
mark_as_advanced(STRANDEL_HELP2MAN)
function(strandel_install_manpage target component description)
  if(STRANDEL_SANITIZE OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  if(NOT STRANDEL_HELP2MAN OR NOT STRANDEL_GZIP)
    message(STATUS "help2man or gzip not found: ${target} goes without a man page")
    return()
  endif()
  set(page "${CMAKE_CURRENT_BINARY_DIR}/${target}.1.gz")
  add_custom_command(OUTPUT "${page}"
    COMMAND "${CMAKE_COMMAND}" "-DHELP2MAN=${STRANDEL_HELP2MAN}" "-DGZIP=${STRANDEL_GZIP}"
            "-DPROGRAM=$<TARGET_FILE:${target}>" "-DVERSION=${PROJECT_VERSION}"
            "-DDESCRIPTION=${description}" "-DOUTPUT=${page}"
            -P "${PROJECT_SOURCE_DIR}/cmake/StrandelManPage.cmake"
    DEPENDS ${target} "${PROJECT_SOURCE_DIR}/cmake/StrandelManPage.cmake"
    COMMENT "Man page of ${target} (help2man)"
    VERBATIM)
  add_custom_target(${target}_manpage ALL DEPENDS "${page}")
  install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT ${component})
endfunction()

# Where the library goes, relative to the prefix. GNUInstallDirs picks Debian's multiarch directory
# (lib/<triplet>) only for a tree configured with the prefix /usr, but CPack makes the Debian package
# from whatever tree it runs in (usually configured for /usr/local) and installs it under /usr. So at
# top level on a multiarch host, where GNUInstallDirs says plain "lib", the library takes
# lib/<triplet> for every prefix: the package puts it where Debian looks, and every install has one
# layout.
set(STRANDEL_INSTALL_LIBDIR "" CACHE STRING
    "Library directory relative to the prefix (empty: CMAKE_INSTALL_LIBDIR, or lib/<multiarch triplet> on Debian where that is lib)")
if(STRANDEL_INSTALL_LIBDIR STREQUAL "")
  set(STRANDEL_INSTALL_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
  if(STRANDEL_TOP_LEVEL AND CMAKE_INSTALL_LIBDIR STREQUAL "lib" AND CMAKE_LIBRARY_ARCHITECTURE
     AND EXISTS "/etc/debian_version")
    set(STRANDEL_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
endif()
set(STRANDEL_INSTALL_CMAKEDIR "${STRANDEL_INSTALL_LIBDIR}/cmake/strandel_isaacsim_client")
set(STRANDEL_INSTALL_PKGCONFIGDIR "${STRANDEL_INSTALL_LIBDIR}/pkgconfig")
# Both follow the library directory: derived here, never cached.
unset(STRANDEL_INSTALL_CMAKEDIR CACHE)
unset(STRANDEL_INSTALL_PKGCONFIGDIR CACHE)


install(TARGETS strandel_isaacsim_client
  EXPORT strandel_isaacsim_client_targets
  LIBRARY DESTINATION "${STRANDEL_INSTALL_LIBDIR}" COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${STRANDEL_INSTALL_LIBDIR}" COMPONENT Development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime)
strandel_install_debian_docs("${STRANDEL_LIBRARY_PACKAGE}" Runtime)
strandel_install_debian_docs("${STRANDEL_DEV_PACKAGE}" Development)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/strandel"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  COMPONENT Development
  FILES_MATCHING PATTERN "*.hpp")

# The CMake package. The same config and version files serve the install and the build tree; the
# build tree gets its own targets file, so -Dstrandel_isaacsim_client_DIR=<build dir> works without
# installing.
install(EXPORT strandel_isaacsim_client_targets
  NAMESPACE strandel::
  FILE strandel_isaacsim_clientTargets.cmake
  DESTINATION "${STRANDEL_INSTALL_CMAKEDIR}"
  COMPONENT Development)
export(EXPORT strandel_isaacsim_client_targets
  NAMESPACE strandel::
  FILE "${PROJECT_BINARY_DIR}/strandel_isaacsim_clientTargets.cmake")
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/strandel_isaacsim_clientConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/strandel_isaacsim_clientConfig.cmake"
  INSTALL_DESTINATION "${STRANDEL_INSTALL_CMAKEDIR}")
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/strandel_isaacsim_clientConfigVersion.cmake"
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/strandel_isaacsim_clientConfig.cmake"
  "${PROJECT_BINARY_DIR}/strandel_isaacsim_clientConfigVersion.cmake"
  DESTINATION "${STRANDEL_INSTALL_CMAKEDIR}"
  COMPONENT Development)

# The .pc file: every field but the prefix is filled in now; the prefix is the absolute one of each
# install (see strandel_isaacsim_client_pc.cmake.in), and libdir and includedir read ${prefix}/...
function(_strandel_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
_strandel_pc_dir(STRANDEL_PC_LIBDIR "${STRANDEL_INSTALL_LIBDIR}")
_strandel_pc_dir(STRANDEL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
set(STRANDEL_PC_PREFIX "@STRANDEL_PC_PREFIX@")  # kept for the install step
set(STRANDEL_PC_TEMPLATE "${PROJECT_BINARY_DIR}/strandel_isaacsim_client.pc.in")
configure_file("${CMAKE_CURRENT_LIST_DIR}/strandel_isaacsim_client.pc.in" "${STRANDEL_PC_TEMPLATE}" @ONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/strandel_isaacsim_client_pc.cmake.in"
               "${PROJECT_BINARY_DIR}/strandel_isaacsim_client_pc.cmake" @ONLY)
install(SCRIPT "${PROJECT_BINARY_DIR}/strandel_isaacsim_client_pc.cmake" COMPONENT Development)

# The documentation package's contents: the README, the upstream changelog, the examples and the
# protocol of the stand-in (docs/ adds the HTML API reference).
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/docs/bridge-protocol.md"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${STRANDEL_DOC_PACKAGE}"
  COMPONENT Doc)
if(EXISTS "${PROJECT_BINARY_DIR}/debian/changelog.gz")
  install(FILES "${PROJECT_BINARY_DIR}/debian/changelog.gz"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${STRANDEL_DOC_PACKAGE}"
    COMPONENT Doc)
endif()
install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${STRANDEL_DOC_PACKAGE}/examples"
  COMPONENT Doc
  PATTERN "__pycache__" EXCLUDE
  PATTERN "*.pyc" EXCLUDE)
strandel_install_debian_docs("${STRANDEL_DOC_PACKAGE}" Doc)

# The Debian packages, built by `cpack -G DEB`, one per component. Only the top-level project sets
# up CPack, so a parent project's own packaging stays its own.
if(NOT STRANDEL_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME "strandel-isaacsim-client")
set(CPACK_PACKAGE_VENDOR "strandel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${STRANDEL_DEB_MAINTAINER}")
# CPack's own default summary: CPackDeb puts any other summary in front of each package's description
# (set per package below: a synopsis line, then the extended description).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR "DEB")
set(CPACK_STRIP_FILES ON)

# Only the named components: other install rules of the tree never end up in a package. One
# package per component.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Doc)
if(STRANDEL_BUILD_CLI AND EXISTS "${PROJECT_SOURCE_DIR}/cli/CMakeLists.txt")
  list(APPEND CPACK_COMPONENTS_ALL Tools)
endif()
if(STRANDEL_BUILD_MOCK_BRIDGE AND EXISTS "${PROJECT_SOURCE_DIR}/mock_bridge/CMakeLists.txt")
  list(APPEND CPACK_COMPONENTS_ALL MockBridge)
endif()
set(CPACK_COMPONENTS_GROUPING IGNORE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${STRANDEL_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Files owned by root, as dpkg-buildpackage leaves them; directories 0755, files 0644 or 0755.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# libc, libstdc++, libcurl and urdfdom runtimes come from dpkg-shlibdeps.
find_program(STRANDEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(STRANDEL_DPKG_SHLIBDEPS)
if(STRANDEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# dpkg-shlibdeps finds the library, for the programs and the module linking it, in the build tree:
# it is in another package of this build, so their Depends name that package explicitly.
get_target_property(_strandel_library_dir strandel_isaacsim_client LIBRARY_OUTPUT_DIRECTORY)
if(NOT _strandel_library_dir)
  get_target_property(_strandel_library_dir strandel_isaacsim_client BINARY_DIR)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${_strandel_library_dir}")
set(STRANDEL_LIBRARY_DEPENDENCY
    "${STRANDEL_LIBRARY_PACKAGE} (>= ${PROJECT_VERSION}-${STRANDEL_DEBIAN_REVISION})")
# A shlibs control file lets packages built against the library depend on it through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The library's package activates ldconfig by a trigger; StrandelDebRepack.cmake takes out the
# maintainer scripts calling ldconfig that CPack writes for it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${_strandel_debian_dir}/triggers")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
find_program(STRANDEL_DPKG_DEB dpkg-deb)
mark_as_advanced(STRANDEL_DPKG_DEB)
if(STRANDEL_DPKG_DEB)
  set(STRANDEL_REPACK_PACKAGE "${STRANDEL_LIBRARY_PACKAGE}")
  configure_file("${CMAKE_CURRENT_LIST_DIR}/StrandelDebRepack.cmake.in"
                 "${PROJECT_BINARY_DIR}/StrandelDebRepack.cmake" @ONLY)
  set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_BINARY_DIR}/StrandelDebRepack.cmake")
endif()

# libcurl >= STRANDEL_MIN_CURL_VERSION at run time (dpkg-shlibdeps alone asks only for the release
# with the WebSocket symbols, 7.86) and for development, with the headers and the CMake package
# (whose find_dependency calls look for libcurl and nlohmann/json).
set(_strandel_curl_deb_version "${STRANDEL_MIN_CURL_VERSION}")
if(_strandel_curl_deb_version MATCHES "^[0-9]+\\.[0-9]+$")
  string(APPEND _strandel_curl_deb_version ".0")
endif()
set(_strandel_about
  "The strandel client drives NVIDIA Isaac Sim through the HTTP and WebSocket\n"
  "bridge it serves: articulations built from URDF, surface grippers, cameras\n"
  "whose frames arrive decoded, and state streams; requests are retried with\n"
  "capped back-off, streams reconnect on request, and failures are reported\n"
  "by kind.\n"
  "\n")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${STRANDEL_LIBRARY_PACKAGE}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libcurl4 (>= ${_strandel_curl_deb_version})")
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "C++ client library for the NVIDIA Isaac Sim bridge\n" ${_strandel_about}
  "This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "${STRANDEL_DEV_PACKAGE}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${STRANDEL_LIBRARY_PACKAGE} (= ${PROJECT_VERSION}-${STRANDEL_DEBIAN_REVISION})"
    "libcurl4-openssl-dev (>= ${_strandel_curl_deb_version}) | libcurl-dev"
    "nlohmann-json3-dev (>= ${STRANDEL_MIN_NLOHMANN_JSON_VERSION})")
list(JOIN CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ", " CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS)
string(CONCAT CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "C++ client library for the NVIDIA Isaac Sim bridge (development files)\n" ${_strandel_about}
  "This package holds the headers, the CMake package\n"
  "(find_package(strandel_isaacsim_client)) and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "${STRANDEL_TOOLS_PACKAGE}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# libjs-chart.js: the plots of `strandel view`, read from /usr/share/javascript/chart.js/.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${STRANDEL_LIBRARY_DEPENDENCY}, libjs-chart.js")
string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION
  "command line client for the NVIDIA Isaac Sim bridge\n"
  "strandel calls the bridge of a running NVIDIA Isaac Sim from the shell: HTTP\n"
  "verbs with JSON bodies, state streams printed as JSON Lines or rates, camera\n"
  "captures written as PNG or .npy files, and a ping. Its exit statuses tell\n"
  "refusals, transport failures and usage errors apart.\n"
  "\n"
  "This package holds the program, its bash completion and its manual page.")

set(CPACK_DEBIAN_MOCKBRIDGE_PACKAGE_NAME "${STRANDEL_MOCK_BRIDGE_PACKAGE}")
set(CPACK_DEBIAN_MOCKBRIDGE_PACKAGE_SECTION devel)
string(CONCAT CPACK_DEBIAN_MOCKBRIDGE_DESCRIPTION
  "local stand-in for the NVIDIA Isaac Sim bridge\n"
  "strandel-mock-bridge serves the bridge's HTTP and WebSocket endpoints from an\n"
  "in-memory world (URDF articulations, surface grippers, synthetic cameras,\n"
  "state streams), so that programs using ${STRANDEL_LIBRARY_PACKAGE} can be\n"
  "developed and tested without Isaac Sim. Its endpoints are described in\n"
  "/usr/share/doc/${STRANDEL_MOCK_BRIDGE_PACKAGE}/bridge-protocol.md.")

set(CPACK_DEBIAN_DOC_PACKAGE_NAME "${STRANDEL_DOC_PACKAGE}")
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DOC_PACKAGE_SHLIBDEPS OFF)
string(CONCAT CPACK_DEBIAN_DOC_DESCRIPTION
  "documentation of the strandel client for the NVIDIA Isaac Sim bridge\n" ${_strandel_about}
  "This package holds the README, the upstream changelog, the example programs\n"
  "(C++ and Python), the protocol of the stand-in bridge and, when built, the\n"
  "HTML API reference.")

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)
