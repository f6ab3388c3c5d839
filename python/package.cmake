# The Debian package python3-strandel: the package strandel (install component "Python"), for
# the one python3 minor version the module is built for, beside the library package of the same
# version. Included from python/CMakeLists.txt, which runs after cmake/StrandelInstall.cmake has
# written the CPack configuration; the settings are appended to that file the way CMake's own
# cpack_add_component does.
if(NOT STRANDEL_TOP_LEVEL OR NOT CPack_CMake_INCLUDED OR NOT DEFINED CPACK_OUTPUT_CONFIG_FILE)
  return()
endif()

strandel_install_debian_docs(python3-strandel Python)
# Installed under /usr the module finds the library in the system's directory: the RPATH that
# serves other prefixes is taken out (Debian packages carry none).
install(CODE "
  cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX NORMALIZE OUTPUT_VARIABLE _strandel_prefix)
  if(_strandel_prefix MATCHES \"^/usr/?$\")
    file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${STRANDEL_INSTALL_PYTHON_PACKAGEDIR}/$<TARGET_FILE_NAME:strandel_python>\")
  endif()" COMPONENT Python)

set(_strandel_py "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
math(EXPR _strandel_py_next "${Python3_VERSION_MINOR} + 1")
set(_strandel_python_depends
    "${STRANDEL_LIBRARY_PACKAGE} (= ${PROJECT_VERSION}-${STRANDEL_DEBIAN_REVISION})"
    "python3 (>= ${_strandel_py})"
    "python3 (<< ${Python3_VERSION_MAJOR}.${_strandel_py_next})"
    "python3-numpy")
list(JOIN _strandel_python_depends ", " _strandel_python_depends)
string(CONCAT _strandel_python_description
  "Python ${_strandel_py} bindings of the NVIDIA Isaac Sim bridge client\\n"
  "The module strandel drives NVIDIA Isaac Sim through its bridge:\\n"
  "articulations, surface grippers, cameras whose frames arrive as numpy\\n"
  "arrays, and WebSocket streams. It wraps ${STRANDEL_LIBRARY_PACKAGE}.")
# dpkg-shlibdeps finds the library in the build tree (it is in no installed package): the module's
# own package names it, the C and C++ runtimes come from dpkg-shlibdeps.
file(APPEND "${CPACK_OUTPUT_CONFIG_FILE}" "
list(APPEND CPACK_COMPONENTS_ALL Python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME \"python3-strandel\")
set(CPACK_DEBIAN_PYTHON_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS \"${_strandel_python_depends}\")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION \"${_strandel_python_description}\")
")
