# The Debian package python3-strandel: the module and its stub (install component "Python"), for
# the one python3 minor version the module is built for, beside the library package of the same
# version. Included from python/CMakeLists.txt, which runs after cmake/StrandelInstall.cmake has
# written the CPack configuration; the settings are appended to that file the way CMake's own
# cpack_add_component does.
if(NOT STRANDEL_TOP_LEVEL OR NOT CPack_CMake_INCLUDED OR NOT DEFINED CPACK_OUTPUT_CONFIG_FILE)
  return()
endif()

if(EXISTS "${PROJECT_SOURCE_DIR}/LICENSE")
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-strandel"
    RENAME copyright
    COMPONENT Python)
endif()

set(_strandel_py "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
math(EXPR _strandel_py_next "${Python3_VERSION_MINOR} + 1")
set(_strandel_python_depends
    "${STRANDEL_LIBRARY_PACKAGE} (= ${PROJECT_VERSION}-1)"
    "python3 (>= ${_strandel_py})"
    "python3 (<< ${Python3_VERSION_MAJOR}.${_strandel_py_next})"
    "python3-numpy"
    "libc6"
    "libstdc++6")
list(JOIN _strandel_python_depends ", " _strandel_python_depends)
string(CONCAT _strandel_python_description
  "Python ${_strandel_py} bindings of the Isaac Sim bridge client\\n"
  "The module strandel drives NVIDIA Isaac Sim through its bridge: articulations, surface grippers, "
  "cameras whose frames arrive as numpy arrays, and WebSocket streams.")
# dpkg-shlibdeps cannot see the library package while packages are staged; the dependencies are
# named here instead.
file(APPEND "${CPACK_OUTPUT_CONFIG_FILE}" "
list(APPEND CPACK_COMPONENTS_ALL Python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME \"python3-strandel\")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS \"${_strandel_python_depends}\")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION \"${_strandel_python_description}\")
")
