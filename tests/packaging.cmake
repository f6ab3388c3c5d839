# Packaging checks, run by ctest under the names packaging.*:
#   exports          only namespace strandel leaves the shared library; its SONAME has the major
#   add_subdirectory a consumer builds the library inside its own tree (FetchContent, local source)
#   build_tree       a consumer finds the package in the build tree, without installing
#   install          the built library installed into a fresh prefix holds exactly what it should
#   find_package     a consumer finds the installed package and runs
#   pkg_config       the installed .pc file gives plain paths; a consumer is compiled with its flags
#   deb              cpack makes the library and stand-in bridge packages; dpkg-deb shows their fields
#                    and contents, the unpacked .pc file names /usr and the unpacked bridge runs
# The consumers are unsanitized programs, so none of this runs in a sanitizer build.
if(STRANDEL_SANITIZE)
  return()
endif()

set(_strandel_pkg_source "${CMAKE_CURRENT_LIST_DIR}/packaging")
set(_strandel_pkg_work "${CMAKE_CURRENT_BINARY_DIR}/packaging")
set(_strandel_pkg_prefix "${_strandel_pkg_work}/prefix")
# Arguments of every consumer run: the driver script, then the consumer's own configure options.
set(_strandel_pkg_consumer_args
  -DGENERATOR=${CMAKE_GENERATOR}
  -P "${_strandel_pkg_source}/run_consumer.cmake" --
  -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER})
if(CMAKE_MAKE_PROGRAM)
  list(APPEND _strandel_pkg_consumer_args -DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM})
endif()
set(_strandel_pkg_tests packaging.exports packaging.add_subdirectory)

add_test(NAME packaging.exports
  COMMAND "${CMAKE_COMMAND}" -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF}
          "-DLIBRARY=$<TARGET_FILE:strandel_isaacsim_client>"
          "-DEXPECTED_SONAME=$<TARGET_LINKER_FILE_NAME:strandel_isaacsim_client>.${PROJECT_VERSION_MAJOR}"
          -P "${_strandel_pkg_source}/check_exports.cmake")

# Configured without a build type on purpose (the consumer checks the library leaves it unset),
# and with the library's -Werror on, which must stay on the library's own targets.
add_test(NAME packaging.add_subdirectory
  COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${_strandel_pkg_source}/add_subdirectory"
          "-DBINARY_DIR=${_strandel_pkg_work}/add_subdirectory"
          ${_strandel_pkg_consumer_args}
          "-DSTRANDEL_SOURCE_DIR=${PROJECT_SOURCE_DIR}" -DSTRANDEL_WERROR=ON)

if(STRANDEL_INSTALL)
  list(APPEND _strandel_pkg_tests packaging.build_tree packaging.install packaging.find_package)

  add_test(NAME packaging.build_tree
    COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${_strandel_pkg_source}/find_package"
            "-DBINARY_DIR=${_strandel_pkg_work}/build_tree"
            ${_strandel_pkg_consumer_args}
            -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
            "-Dstrandel_isaacsim_client_DIR=${PROJECT_BINARY_DIR}"
            "-DSTRANDEL_EXPECTED_CONFIG_DIR=${PROJECT_BINARY_DIR}"
            -DSTRANDEL_EXPECTED_VERSION=${PROJECT_VERSION})

  # What expected_files.cmake needs to know about an install.
  set(_strandel_pkg_layout
    "-DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}" "-DLIBDIR=${STRANDEL_INSTALL_LIBDIR}"
    "-DCMAKEDIR=${STRANDEL_INSTALL_CMAKEDIR}" "-DPCDIR=${STRANDEL_INSTALL_PKGCONFIGDIR}"
    "-DBINDIR=${CMAKE_INSTALL_BINDIR}" "-DDATAROOTDIR=${CMAKE_INSTALL_DATAROOTDIR}"
    "-DPACKAGE_NAME=${STRANDEL_LIBRARY_PACKAGE}"
    -DVERSION=${PROJECT_VERSION} -DMAJOR=${PROJECT_VERSION_MAJOR}
    "-DHEADERS_DIR=${PROJECT_SOURCE_DIR}/include/strandel")
  if(TARGET strandel)
    list(APPEND _strandel_pkg_layout -DWITH_CLI=ON)
  endif()

  add_test(NAME packaging.install
    COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}" "-DPREFIX=${_strandel_pkg_prefix}"
            ${_strandel_pkg_layout} -P "${_strandel_pkg_source}/install_prefix.cmake")
  set_tests_properties(packaging.install PROPERTIES FIXTURES_SETUP strandel_installed)

  add_test(NAME packaging.find_package
    COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${_strandel_pkg_source}/find_package"
            "-DBINARY_DIR=${_strandel_pkg_work}/find_package"
            ${_strandel_pkg_consumer_args}
            -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
            "-DCMAKE_PREFIX_PATH=${_strandel_pkg_prefix}"
            "-DSTRANDEL_EXPECTED_CONFIG_DIR=${_strandel_pkg_prefix}/${STRANDEL_INSTALL_CMAKEDIR}"
            -DSTRANDEL_EXPECTED_VERSION=${PROJECT_VERSION})
  set_tests_properties(packaging.find_package PROPERTIES FIXTURES_REQUIRED strandel_installed)

  find_program(STRANDEL_PKG_CONFIG_EXECUTABLE NAMES pkg-config pkgconf)
  mark_as_advanced(STRANDEL_PKG_CONFIG_EXECUTABLE)
  if(STRANDEL_PKG_CONFIG_EXECUTABLE)
    list(APPEND _strandel_pkg_tests packaging.pkg_config)
    add_test(NAME packaging.pkg_config
      COMMAND "${CMAKE_COMMAND}" "-DPKG_CONFIG=${STRANDEL_PKG_CONFIG_EXECUTABLE}"
              "-DCXX_COMPILER=${CMAKE_CXX_COMPILER}" "-DPREFIX=${_strandel_pkg_prefix}"
              "-DPC_DIR=${STRANDEL_INSTALL_PKGCONFIGDIR}" "-DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}"
              "-DLIBDIR=${STRANDEL_INSTALL_LIBDIR}"
              "-DSOURCE=${_strandel_pkg_source}/consumer/main.cpp"
              "-DBINARY_DIR=${_strandel_pkg_work}/pkg_config"
              -DEXPECTED_VERSION=${PROJECT_VERSION}
              -P "${_strandel_pkg_source}/pkg_config.cmake")
    set_tests_properties(packaging.pkg_config PROPERTIES FIXTURES_REQUIRED strandel_installed)
  else()
    message(STATUS "pkg-config not found: packaging.pkg_config is not registered")
  endif()

  # cpack first brings the whole build tree up to date (its preinstall step), then packs the
  # library's components and the stand-in bridge's.
  find_program(STRANDEL_DPKG_DEB_EXECUTABLE dpkg-deb)
  find_program(STRANDEL_DPKG_ARCHITECTURE_EXECUTABLE dpkg-architecture)
  mark_as_advanced(STRANDEL_DPKG_DEB_EXECUTABLE STRANDEL_DPKG_ARCHITECTURE_EXECUTABLE)
  if(STRANDEL_DPKG_DEB_EXECUTABLE AND STRANDEL_TOP_LEVEL)
    if(STRANDEL_DPKG_SHLIBDEPS)
      set(_strandel_pkg_shlibdeps ON)
    else()
      set(_strandel_pkg_shlibdeps OFF)
    endif()
    if("MockBridge" IN_LIST CPACK_COMPONENTS_ALL)
      set(_strandel_pkg_bridge "${STRANDEL_MOCK_BRIDGE_PACKAGE}")
    else()
      set(_strandel_pkg_bridge "")
    endif()
    list(APPEND _strandel_pkg_tests packaging.deb)
    add_test(NAME packaging.deb
      COMMAND "${CMAKE_COMMAND}" "-DCPACK=${CMAKE_CPACK_COMMAND}"
              "-DDPKG_DEB=${STRANDEL_DPKG_DEB_EXECUTABLE}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
              "-DOUTPUT_DIR=${_strandel_pkg_work}/deb" "-DMOCK_BRIDGE_PACKAGE=${_strandel_pkg_bridge}"
              -DMIN_CURL_VERSION=${STRANDEL_MIN_CURL_VERSION} -DEXPECT_SHLIBDEPS=${_strandel_pkg_shlibdeps}
              "-DDPKG_ARCHITECTURE=${STRANDEL_DPKG_ARCHITECTURE_EXECUTABLE}"
              "-DPKG_CONFIG=${STRANDEL_PKG_CONFIG_EXECUTABLE}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
              ${_strandel_pkg_layout} -P "${_strandel_pkg_source}/check_deb.cmake")
  elseif(STRANDEL_TOP_LEVEL)
    message(STATUS "dpkg-deb not found: packaging.deb is not registered")
  endif()
endif()

set_tests_properties(${_strandel_pkg_tests} PROPERTIES TIMEOUT 600)
