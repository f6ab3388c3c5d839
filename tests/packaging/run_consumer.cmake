# Configures, builds and runs one consumer project in a fresh binary directory.
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DGENERATOR=... -P run_consumer.cmake -- [-DVAR=value...]
# Every argument after "--" is passed to the consumer's configure step. The consumer's executable
# is named "consumer" and must exit with status 0.
cmake_minimum_required(VERSION 3.25)
foreach(var SOURCE_DIR BINARY_DIR GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_consumer.cmake needs -D${var}=...")
  endif()
endforeach()

set(configure_args "")
set(after_separator FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(after_separator)
    list(APPEND configure_args "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(after_separator TRUE)
  endif()
endforeach()

function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${step} failed (${result})")
  endif()
endfunction()

file(REMOVE_RECURSE "${BINARY_DIR}")
run(configure "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}" ${configure_args})
run(build "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --parallel 2)
run(run "${BINARY_DIR}/consumer")
