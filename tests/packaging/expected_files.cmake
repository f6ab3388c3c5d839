# What an install of the library holds, as regular expressions over paths relative to the prefix.
# Shared by the install check and the Debian package check. Reads INCLUDEDIR, LIBDIR, CMAKEDIR,
# PCDIR, DATAROOTDIR, PACKAGE_NAME and DEV_PACKAGE_NAME (the runtime and development packages: each
# has <DATAROOTDIR>/doc/<package>/copyright and changelog.Debian.gz), VERSION, MAJOR and
# HEADERS_DIR (the source directory of the public headers); for the Python component also
# PYTHON_PACKAGEDIR (the package directory strandel, relative to the prefix) and
# PYTHON_PACKAGE_NAME.

function(_strandel_regex_escape out text)
  string(REGEX REPLACE "([.+])" "\\\\\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Sets `out` to one anchored expression per expected file of the given components (Runtime,
# Development, Python); `root` is prepended to every path.
function(strandel_expected_install_files out root)
  set(library "${LIBDIR}/libstrandel_isaacsim_client.so")
  file(GLOB headers RELATIVE "${HEADERS_DIR}" "${HEADERS_DIR}/*.hpp")
  if(NOT headers)
    message(FATAL_ERROR "no public headers found in ${HEADERS_DIR}")
  endif()
  set(paths "")
  set(with_targets_file FALSE)
  set(with_extension FALSE)
  foreach(component IN LISTS ARGN)
    if(component STREQUAL "Runtime")
      list(APPEND paths "${library}.${MAJOR}" "${library}.${VERSION}"
                        "${DATAROOTDIR}/doc/${PACKAGE_NAME}/copyright"
                        "${DATAROOTDIR}/doc/${PACKAGE_NAME}/changelog.Debian.gz")
    elseif(component STREQUAL "Development")
      set(with_targets_file TRUE)
      list(APPEND paths "${library}" "${PCDIR}/strandel_isaacsim_client.pc"
                        "${CMAKEDIR}/strandel_isaacsim_clientConfig.cmake"
                        "${CMAKEDIR}/strandel_isaacsim_clientConfigVersion.cmake"
                        "${CMAKEDIR}/strandel_isaacsim_clientTargets.cmake"
                        "${DATAROOTDIR}/doc/${DEV_PACKAGE_NAME}/copyright"
                        "${DATAROOTDIR}/doc/${DEV_PACKAGE_NAME}/changelog.Debian.gz")
      foreach(header IN LISTS headers)
        list(APPEND paths "${INCLUDEDIR}/strandel/${header}")
      endforeach()
    elseif(component STREQUAL "Python")
      set(with_extension TRUE)
      foreach(file __init__.py __init__.pyi py.typed tools.py)
        list(APPEND paths "${PYTHON_PACKAGEDIR}/${file}")
      endforeach()
      list(APPEND paths "${DATAROOTDIR}/doc/${PYTHON_PACKAGE_NAME}/copyright"
                        "${DATAROOTDIR}/doc/${PYTHON_PACKAGE_NAME}/changelog.Debian.gz")
    else()
      message(FATAL_ERROR "no expected files for component '${component}'")
    endif()
  endforeach()
  set(expressions "")
  foreach(path IN LISTS paths)
    _strandel_regex_escape(path "${root}${path}")
    list(APPEND expressions "^${path}$")
  endforeach()
  if(with_extension)
    _strandel_regex_escape(packagedir "${root}${PYTHON_PACKAGEDIR}")
    list(APPEND expressions "^${packagedir}/_core\\.[^/]*so$")
  endif()
  if(with_targets_file)
    _strandel_regex_escape(cmakedir "${root}${CMAKEDIR}")
    list(APPEND expressions "^${cmakedir}/strandel_isaacsim_clientTargets-[a-z]+\\.cmake$")
  endif()
  set(${out} "${expressions}" PARENT_SCOPE)
endfunction()

# Fails unless `files` holds exactly one match for each expression and nothing else.
function(strandel_check_files where files expressions)
  foreach(expression IN LISTS expressions)
    set(matches 0)
    foreach(file IN LISTS files)
      if(file MATCHES "${expression}")
        math(EXPR matches "${matches} + 1")
      endif()
    endforeach()
    if(NOT matches EQUAL 1)
      message(FATAL_ERROR "${where}: ${matches} files match ${expression}; files:\n${files}")
    endif()
  endforeach()
  foreach(file IN LISTS files)
    set(expected FALSE)
    foreach(expression IN LISTS expressions)
      if(file MATCHES "${expression}")
        set(expected TRUE)
      endif()
    endforeach()
    if(NOT expected)
      message(FATAL_ERROR "${where}: unexpected file ${file}")
    endif()
  endforeach()
endfunction()
