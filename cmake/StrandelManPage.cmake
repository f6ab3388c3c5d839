# Writes the man page of a built program with help2man from its --help, gzipped (-9n: the same
# input gives the same bytes).
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DVERSION=... -DDESCRIPTION=... -DOUTPUT=<x.1.gz>
#         -P StrandelManPage.cmake
# The version is given rather than asked of the program, so a program without --version gets a page.
cmake_minimum_required(VERSION 3.25)
get_filename_component(name "${PROGRAM}" NAME)
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=1 "--version-string=${VERSION}" "--name=${DESCRIPTION}"
          "--output=${page}" "${PROGRAM}"
  RESULT_VARIABLE result ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man ${name} failed (${result}): ${error}")
endif()
execute_process(COMMAND "${GZIP}" -9nf "${page}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip ${page} failed (${result})")
endif()
