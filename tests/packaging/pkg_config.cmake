# Checks that the installed .pc file gives plain paths into the install prefix (no "/../"), then
# builds the consumer program with nothing but a compiler and those flags, and runs it.
#   -DPKG_CONFIG=... -DCXX_COMPILER=... -DPREFIX=<install prefix> -DPC_DIR=<.pc dir under PREFIX>
#   -DINCLUDEDIR=... -DLIBDIR=... (under PREFIX) -DSOURCE=<main.cpp> -DBINARY_DIR=...
#   -DEXPECTED_VERSION=...
cmake_minimum_required(VERSION 3.25)
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${PC_DIR}")
set(module strandel_isaacsim_client)

function(pkg_config out)
  execute_process(COMMAND "${PKG_CONFIG}" ${ARGN} ${module}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "pkg-config ${ARGN} ${module} failed: ${error}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

pkg_config(pc_dir --variable=pcfiledir)
file(REAL_PATH "${pc_dir}" pc_dir)
file(REAL_PATH "${PREFIX}/${PC_DIR}" expected_pc_dir)
if(NOT pc_dir STREQUAL expected_pc_dir)
  message(FATAL_ERROR "pkg-config read ${module}.pc from ${pc_dir}, expected ${expected_pc_dir}")
endif()
pkg_config(version --modversion)
if(NOT version STREQUAL EXPECTED_VERSION)
  message(FATAL_ERROR "pkg-config reports version '${version}', expected '${EXPECTED_VERSION}'")
endif()

pkg_config(cflags --cflags)
pkg_config(libs --libs)
pkg_config(static_libs --static --libs)
pkg_config(libdir --variable=libdir)
message(STATUS "cflags: ${cflags}")
message(STATUS "libs: ${libs}")
# libcurl is linked by the shared library itself: a dynamic consumer does not name it, a static
# link does.
if(NOT " ${libs} " MATCHES " -lstrandel_isaacsim_client ")
  message(FATAL_ERROR "--libs lacks -lstrandel_isaacsim_client: ${libs}")
endif()
if(" ${libs} " MATCHES " -lcurl ")
  message(FATAL_ERROR "--libs names the private dependency libcurl: ${libs}")
endif()
if(NOT " ${static_libs} " MATCHES " -lcurl ")
  message(FATAL_ERROR "--static --libs lacks -lcurl: ${static_libs}")
endif()
if(NOT libdir STREQUAL "${PREFIX}/${LIBDIR}")
  message(FATAL_ERROR "libdir is ${libdir}, expected ${PREFIX}/${LIBDIR}")
endif()
if(NOT EXISTS "${libdir}/libstrandel_isaacsim_client.so")
  message(FATAL_ERROR "libdir ${libdir} does not hold the library")
endif()
string(FIND " ${cflags} " " -I${PREFIX}/${INCLUDEDIR} " include_flag_at)
if(include_flag_at EQUAL -1 OR cflags MATCHES "/\\.\\./")
  message(FATAL_ERROR "--cflags should name -I${PREFIX}/${INCLUDEDIR} plainly: ${cflags}")
endif()

separate_arguments(cflags UNIX_COMMAND "${cflags}")
separate_arguments(libs UNIX_COMMAND "${libs}")
file(REMOVE_RECURSE "${BINARY_DIR}")
file(MAKE_DIRECTORY "${BINARY_DIR}")
execute_process(
  COMMAND "${CXX_COMPILER}" -std=c++17 ${cflags} "${SOURCE}" -o "${BINARY_DIR}/consumer" ${libs}
          "-Wl,-rpath,${libdir}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "compiling the consumer with pkg-config's flags failed (${result})")
endif()
execute_process(COMMAND "${BINARY_DIR}/consumer" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the consumer failed (${result})")
endif()
