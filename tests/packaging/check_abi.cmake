# Compares the built shared library with the ABI recorded in abi/ (abidiff over the public headers,
# strandel::detail suppressed).
#   -DABIDIFF=... -DREADELF=... -DLIBRARY=<the built versioned file> -DBASELINE_DIR=<abi/>
#   -DHEADERS_DIR=<include/strandel> -DSUPPRESSIONS=<abi/strandel.suppr>
# Fails on an incompatible change unless the SONAME changed too: abidiff's ABIDIFF_ABI_INCOMPATIBLE_CHANGE
# bit (a removed symbol) or a changed function or variable (abidiff flags a public type's new size
# or layout only as an ABI change, with harmless changes filtered out by default); fails on any
# abidiff error. A compatible change (added functions or variables) is printed, not failed.
# No baseline for the library's SONAME is a failure: scripts/abi-baseline.sh records one.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${READELF}" -d "${LIBRARY}" RESULT_VARIABLE result OUTPUT_VARIABLE dynamic)
if(NOT result EQUAL 0 OR NOT dynamic MATCHES "Library soname: \\[([^]\n]+)\\]")
  message(FATAL_ERROR "no SONAME in ${LIBRARY}")
endif()
set(soname "${CMAKE_MATCH_1}")
set(baseline "${BASELINE_DIR}/${soname}.abi")
if(NOT EXISTS "${baseline}")
  file(GLOB others "${BASELINE_DIR}/*.abi")
  message(FATAL_ERROR "no ABI baseline for ${soname} (have: ${others}); a new SONAME starts a new "
                      "baseline: run scripts/abi-baseline.sh")
endif()

# --fail-no-debug-info: a library without DWARF would be compared by its symbols alone.
execute_process(
  COMMAND "${ABIDIFF}" --headers-dir2 "${HEADERS_DIR}" --suppressions "${SUPPRESSIONS}"
          --drop-private-types --fail-no-debug-info "${baseline}" "${LIBRARY}"
  RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE error)
if(NOT status MATCHES "^[0-9]+$")
  message(FATAL_ERROR "abidiff did not run: ${status} ${error}")
endif()
# abidiff's exit status is a bit field: 1 error, 2 usage error, 4 an ABI change, 8 an incompatible
# ABI change.
math(EXPR failed "${status} & 3")
math(EXPR changed "${status} & 4")
math(EXPR incompatible "${status} & 8")
if(NOT failed EQUAL 0)
  message(FATAL_ERROR "abidiff failed (${status}):\n${report}${error}")
endif()
# "Functions changes summary: 0 Removed, 2 Changed, 1 Added functions" and the same for variables.
set(altered FALSE)
string(REGEX MATCHALL "changes summary: [0-9]+ Removed[^,]*, [0-9]+ Changed" summaries "${report}")
foreach(summary IN LISTS summaries)
  if(NOT summary MATCHES ": 0 Removed[^,]*, 0 Changed$")
    set(altered TRUE)
  endif()
endforeach()
if(NOT incompatible EQUAL 0 OR altered)
  # The baseline of this SONAME exists (checked above), so the SONAME did not change.
  message(FATAL_ERROR "incompatible ABI change against ${baseline} with the SONAME ${soname} kept; "
                      "raise the SOVERSION (and record a new baseline) or restore the ABI:\n${report}")
endif()
if(NOT changed EQUAL 0)
  message(STATUS "compatible ABI change against ${baseline} (refresh it with scripts/abi-baseline.sh "
                 "when released):\n${report}")
else()
  message(STATUS "the ABI matches ${baseline}")
endif()
