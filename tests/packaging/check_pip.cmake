# pip builds the package strandel from SOURCE_DIR (pyproject.toml, scikit-build-core) for the
# interpreter that runs it, with no index (build requirements and numpy come from the system's
# site-packages, hence --no-build-isolation and venvs made with --system-site-packages):
#   1. pip install into a venv: strandel imports there with this VERSION, as distribution and as
#      module, and its extension finds the library inside the venv through RUNPATH $ORIGIN alone;
#   2. pip wheel, reusing the same CMake build directory (PIP_BUILD_DIR, kept between runs, so the
#      build is incremental): the wheel holds the package and the library under its SONAME and
#      nothing else;
#   3. that wheel installed into a fresh venv imports with LD_LIBRARY_PATH unset, and mypy --strict
#      on TYPED_PROGRAM against it reports exactly the one error on the line marked "the one type
#      error" and nothing else.
#   -DPYTHON=... -DMYPY=... -DREADELF=... -DSOURCE_DIR=... -DWORK_DIR=... -DPIP_BUILD_DIR=...
#   -DTYPED_PROGRAM=... -DVERSION=... -DMAJOR=...
cmake_minimum_required(VERSION 3.25)

# A clean environment for every child: nothing from the caller's PYTHONPATH, user site or
# library path; two build jobs.
set(clean_env "${CMAKE_COMMAND}" -E env --unset=PYTHONPATH --unset=LD_LIBRARY_PATH --unset=MYPYPATH
              --unset=VIRTUAL_ENV PYTHONNOUSERSITE=1 PYTHONDONTWRITEBYTECODE=1
              CMAKE_BUILD_PARALLEL_LEVEL=2 PIP_DISABLE_PIP_VERSION_CHECK=1)

function(run out)
  execute_process(COMMAND ${clean_env} ${ARGN} WORKING_DIRECTORY "${WORK_DIR}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}):\n${output}\n${error}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

# Sets `out` to "<version>|<distribution version>|<directory of the package>" as `python` sees it.
function(import_strandel out python)
  run(seen "${python}" -c "import importlib.metadata, os, strandel
print(strandel.__version__, importlib.metadata.version('strandel'), os.path.dirname(strandel._core.__file__), sep='|')")
  string(STRIP "${seen}" seen)
  set(${out} "${seen}" PARENT_SCOPE)
endfunction()

# Fails unless `package` (an installed strandel/ directory) has an extension whose only search path
# is $ORIGIN, through which it finds the library beside it, and a library with no search path.
function(expect_self_contained package)
  file(GLOB extension "${package}/_core.*so")
  set(library "${package}/libstrandel_isaacsim_client.so.${MAJOR}")
  if(NOT extension OR NOT EXISTS "${library}")
    message(FATAL_ERROR "${package} lacks the extension or the library")
  endif()
  run(dynamic "${READELF}" -d "${extension}")
  string(REGEX MATCHALL "\\((RPATH|RUNPATH)\\)[^\n]*" paths "${dynamic}")
  if(NOT paths MATCHES "^\\(RUNPATH\\) +Library runpath: \\[\\$ORIGIN\\]$")
    message(FATAL_ERROR "${extension}: search paths '${paths}', expected RUNPATH $ORIGIN alone")
  endif()
  run(dynamic "${READELF}" -d "${library}")
  if(dynamic MATCHES "\\((RPATH|RUNPATH)\\)[^\n]*")
    message(FATAL_ERROR "${library} carries ${CMAKE_MATCH_0}")
  endif()
  find_program(LDD ldd REQUIRED)
  run(resolved "${LDD}" "${extension}")
  if(NOT resolved MATCHES "libstrandel_isaacsim_client\\.so\\.${MAJOR} => ([^ ]+)")
    message(FATAL_ERROR "ldd does not resolve the library for ${extension}:\n${resolved}")
  endif()
  file(REAL_PATH "${CMAKE_MATCH_1}" found)
  file(REAL_PATH "${library}" expected)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${extension} loads ${found}, not ${expected}")
  endif()
endfunction()

function(expect_imports python venv)
  import_strandel(seen "${python}")
  if(NOT seen MATCHES "^([^|]*)\\|([^|]*)\\|(.*)$" OR NOT CMAKE_MATCH_1 STREQUAL VERSION
     OR NOT CMAKE_MATCH_2 STREQUAL VERSION)
    message(FATAL_ERROR "${python}: strandel imported as '${seen}', expected version ${VERSION}")
  endif()
  set(package "${CMAKE_MATCH_3}")
  string(FIND "${package}" "${venv}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "${python} imported strandel from ${package}, outside ${venv}")
  endif()
  expect_self_contained("${package}")
endfunction()

set(first_venv "${WORK_DIR}/venv-install")
set(second_venv "${WORK_DIR}/venv-wheel")
set(wheel_dir "${WORK_DIR}/wheel")
file(REMOVE_RECURSE "${first_venv}" "${second_venv}" "${wheel_dir}")
file(MAKE_DIRECTORY "${WORK_DIR}" "${PIP_BUILD_DIR}")
set(pip_build --no-index --no-build-isolation "--config-settings=build-dir=${PIP_BUILD_DIR}")

# 1. pip install . in a venv.
run(ignored "${PYTHON}" -m venv --system-site-packages "${first_venv}")
string(TIMESTAMP started "%s")
run(ignored "${first_venv}/bin/python" -m pip install ${pip_build} "${SOURCE_DIR}")
string(TIMESTAMP finished "%s")
math(EXPR seconds "${finished} - ${started}")
message(STATUS "pip install: ${seconds} s")
expect_imports("${first_venv}/bin/python" "${first_venv}")

# 2. pip wheel . from the same build directory.
run(ignored "${first_venv}/bin/python" -m pip wheel --no-deps ${pip_build} -w "${wheel_dir}" "${SOURCE_DIR}")
file(GLOB wheels "${wheel_dir}/strandel-${VERSION}-*.whl")
list(LENGTH wheels wheel_count)
if(NOT wheel_count EQUAL 1)
  message(FATAL_ERROR "pip wheel made ${wheel_count} wheels of strandel ${VERSION}: ${wheels}")
endif()
file(SIZE "${wheels}" wheel_size)
message(STATUS "wheel: ${wheels} (${wheel_size} bytes)")
run(listing "${PYTHON}" -c "import sys, zipfile
print('\\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))" "${wheels}")
string(REPLACE "\n" ";" entries "${listing}")
list(FILTER entries EXCLUDE REGEX "^$|^strandel-${VERSION}\\.dist-info/")
list(SORT entries)
string(REPLACE "." "\\." so_major "so.${MAJOR}")
set(expected_entries "^strandel/__init__\\.py$" "^strandel/__init__\\.pyi$"
    "^strandel/_core\\.[^/]*so$" "^strandel/libstrandel_isaacsim_client\\.${so_major}$"
    "^strandel/py\\.typed$" "^strandel/tools\\.py$")
list(LENGTH entries entry_count)
list(LENGTH expected_entries expected_count)
if(NOT entry_count EQUAL expected_count)
  message(FATAL_ERROR "the wheel holds ${entries}; expected one file each of ${expected_entries}")
endif()
foreach(entry expression IN ZIP_LISTS entries expected_entries)
  if(NOT entry MATCHES "${expression}")
    message(FATAL_ERROR "the wheel holds ${entries}; expected one file each of ${expected_entries}")
  endif()
endforeach()

# 3. The wheel in a fresh venv, then mypy against it.
run(ignored "${PYTHON}" -m venv --system-site-packages "${second_venv}")
run(ignored "${second_venv}/bin/python" -m pip install --no-index "${wheels}")
expect_imports("${second_venv}/bin/python" "${second_venv}")

file(STRINGS "${TYPED_PROGRAM}" lines)
set(number 0)
set(marked "")
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  if(line MATCHES "# the one type error")
    list(APPEND marked ${number})
  endif()
endforeach()
list(LENGTH marked marked_count)
if(NOT marked_count EQUAL 1)
  message(FATAL_ERROR "${TYPED_PROGRAM} marks ${marked_count} lines as the one type error")
endif()
execute_process(COMMAND ${clean_env} "${MYPY}" --strict --no-incremental --cache-dir=/dev/null
                        --no-error-summary --show-error-codes
                        "--python-executable=${second_venv}/bin/python" "${TYPED_PROGRAM}"
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE result OUTPUT_VARIABLE report
                ERROR_VARIABLE report_error)
string(STRIP "${report}" report)
get_filename_component(program_name "${TYPED_PROGRAM}" NAME)
string(REGEX REPLACE "([.+])" "\\\\\\1" program_name "${program_name}")
if(NOT result EQUAL 1 OR NOT report MATCHES "^[^\n]*${program_name}:${marked}: error: [^\n]*$")
  message(FATAL_ERROR "mypy (${result}) should report exactly one error, on line ${marked}:\n"
                      "${report}\n${report_error}")
endif()
message(STATUS "mypy: ${report}")
