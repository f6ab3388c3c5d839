# Install rules, the CMake package (installed and build-tree), the pkg-config file and, at top level,
# the Debian package. Included by the top-level CMakeLists.txt when STRANDEL_INSTALL is on.
#
# Components: "Runtime" holds the versioned shared library and its SONAME link; "Development" holds
# the headers, the unversioned link, the CMake package and the .pc file.
include(CMakePackageConfigHelpers)

set(STRANDEL_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/strandel_isaacsim_client"
    CACHE STRING "Where the CMake package files are installed (relative to the prefix)")
set(STRANDEL_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    CACHE STRING "Where strandel_isaacsim_client.pc is installed (relative to the prefix)")

# Consumers write strandel::isaacsim_client, in the build tree (the ALIAS) and when installed.
set_target_properties(strandel_isaacsim_client PROPERTIES EXPORT_NAME isaacsim_client)

install(TARGETS strandel_isaacsim_client
  EXPORT strandel_isaacsim_client_targets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime)
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

# The .pc file finds its prefix from its own location (${pcfiledir}), so an install moved to
# another prefix, or unpacked from the Debian package under /usr, still gives correct flags.
function(_strandel_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${STRANDEL_INSTALL_PKGCONFIGDIR}")
  set(STRANDEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _strandel_pc_up "/prefix/${STRANDEL_INSTALL_PKGCONFIGDIR}" "/prefix")
  string(REGEX REPLACE "/$" "" _strandel_pc_up "${_strandel_pc_up}")
  set(STRANDEL_PC_PREFIX "\${pcfiledir}/${_strandel_pc_up}")
endif()
_strandel_pc_dir(STRANDEL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
_strandel_pc_dir(STRANDEL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/strandel_isaacsim_client.pc.in"
               "${PROJECT_BINARY_DIR}/strandel_isaacsim_client.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/strandel_isaacsim_client.pc"
  DESTINATION "${STRANDEL_INSTALL_PKGCONFIGDIR}"
  COMPONENT Development)

# The Debian package: one .deb with the library and its headers, built by `cpack -G DEB`. Only the
# top-level project sets up CPack, so a parent project's own packaging stays its own.
if(NOT STRANDEL_TOP_LEVEL)
  return()
endif()

set(STRANDEL_PACKAGE_CONTACT "strandel_isaacsim_client maintainers"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME "libstrandel-isaacsim-client")
set(CPACK_PACKAGE_VENDOR "strandel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "${STRANDEL_PACKAGE_CONTACT}")
set(CPACK_GENERATOR "DEB")
set(CPACK_STRIP_FILES ON)

# Only this library's components: other install rules of the tree (the stand-in bridge, examples)
# never end up in the package. Both components go into one package.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_PACKAGE_NAME "${CPACK_PACKAGE_NAME}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# libc, libstdc++ and the libcurl runtime come from dpkg-shlibdeps; the headers and the CMake
# package need the development packages the config file's find_dependency calls look for.
find_program(STRANDEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(STRANDEL_DPKG_SHLIBDEPS)
if(STRANDEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libcurl4-openssl-dev (>= ${STRANDEL_MIN_CURL_VERSION}) | libcurl-dev, nlohmann-json3-dev (>= ${STRANDEL_MIN_NLOHMANN_JSON_VERSION})")
# A shlibs control file lets packages built against this one depend on it through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)
