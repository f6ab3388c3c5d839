# Install rules, the CMake package (installed and build-tree), the pkg-config file and, at top level,
# the Debian packages. Included by the top-level CMakeLists.txt when STRANDEL_INSTALL is on.
#
# Components: "Runtime" holds the versioned shared library, its SONAME link, the license and (from
# cli/) the strandel command line with its bash completion;
# "Development" holds the headers, the unversioned link, the CMake package and the .pc file;
# "MockBridge" (declared in mock_bridge/) holds the stand-in bridge, its protocol and the license.
include(CMakePackageConfigHelpers)

# Names of the Debian packages; the license and documents go to share/doc/<package>.
set(STRANDEL_LIBRARY_PACKAGE "libstrandel-isaacsim-client")
set(STRANDEL_MOCK_BRIDGE_PACKAGE "strandel-mock-bridge")

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
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${STRANDEL_LIBRARY_PACKAGE}"
  RENAME copyright
  COMPONENT Runtime)
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

# The Debian packages, built by `cpack -G DEB`: the library with its headers (Runtime and
# Development), and the stand-in bridge (MockBridge) when it is built. Only the top-level project sets
# up CPack, so a parent project's own packaging stays its own.
if(NOT STRANDEL_TOP_LEVEL)
  return()
endif()

set(STRANDEL_PACKAGE_CONTACT "strandel_isaacsim_client maintainers"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME "${STRANDEL_LIBRARY_PACKAGE}")
set(CPACK_PACKAGE_VENDOR "strandel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${STRANDEL_PACKAGE_CONTACT}")
# CPack's own default summary: CPackDeb puts any other summary in front of each package's description
# (set per package below, first line the synopsis).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR "DEB")
set(CPACK_STRIP_FILES ON)

# Only the named components: other install rules of the tree (examples) never end up in a package.
# The library's two components share one package; the stand-in bridge has its own.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_COMPONENT_RUNTIME_GROUP Library)
set(CPACK_COMPONENT_DEVELOPMENT_GROUP Library)
if(STRANDEL_BUILD_MOCK_BRIDGE AND EXISTS "${PROJECT_SOURCE_DIR}/mock_bridge/CMakeLists.txt")
  list(APPEND CPACK_COMPONENTS_ALL MockBridge)
endif()
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# libc, libstdc++, libcurl and urdfdom runtimes come from dpkg-shlibdeps.
find_program(STRANDEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(STRANDEL_DPKG_SHLIBDEPS)
if(STRANDEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# A shlibs control file lets packages built against this one depend on it through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The strandel command line in the runtime package links the library beside it: dpkg-shlibdeps
# looks for it in the package's own library directory (relative to the packaging root).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "usr/${STRANDEL_INSTALL_LIBDIR}")

# The library. dpkg-shlibdeps asks only for the libcurl that has the WebSocket symbols (7.86), but
# the library needs STRANDEL_MIN_CURL_VERSION, at run time and for the headers and the CMake package
# (whose find_dependency calls look for libcurl and nlohmann/json). Every alternative names that
# version: the virtual libcurl-dev would let Debian 12's own 7.88 in.
set(_strandel_curl_deb_version "${STRANDEL_MIN_CURL_VERSION}")
if(_strandel_curl_deb_version MATCHES "^[0-9]+\\.[0-9]+$")
  string(APPEND _strandel_curl_deb_version ".0")
endif()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME "${STRANDEL_LIBRARY_PACKAGE}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS
    "libcurl4 (>= ${_strandel_curl_deb_version})"
    "libcurl4-openssl-dev (>= ${_strandel_curl_deb_version}) | libcurl4-gnutls-dev (>= ${_strandel_curl_deb_version})"
    "nlohmann-json3-dev (>= ${STRANDEL_MIN_NLOHMANN_JSON_VERSION})")
list(JOIN CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS ", " CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS)

# The stand-in bridge: its dependencies (urdfdom and the C++ runtime) all come from dpkg-shlibdeps.
set(CPACK_DEBIAN_MOCKBRIDGE_PACKAGE_NAME "${STRANDEL_MOCK_BRIDGE_PACKAGE}")
set(CPACK_DEBIAN_MOCKBRIDGE_PACKAGE_SECTION devel)
string(CONCAT CPACK_DEBIAN_MOCKBRIDGE_DESCRIPTION
  "Local stand-in for the NVIDIA Isaac Sim bridge\n"
  "strandel-mock-bridge serves the bridge's HTTP and WebSocket endpoints from an\n"
  "in-memory world (URDF articulations, surface grippers, synthetic cameras,\n"
  "state streams), so that programs using ${STRANDEL_LIBRARY_PACKAGE} can be\n"
  "developed and tested without Isaac Sim. Its endpoints are described in\n"
  "/usr/share/doc/${STRANDEL_MOCK_BRIDGE_PACKAGE}/bridge-protocol.md.")

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)
