# Checks the dynamic symbol table and the SONAME of the shared library.
#   -DNM=... -DREADELF=... -DLIBRARY=<the versioned file> -DEXPECTED_SONAME=...
# Every defined dynamic symbol must be in namespace strandel (or be the type information or vtable
# of a strandel type), and the internals under strandel::detail must stay hidden.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${NM}" -D --defined-only -C "${LIBRARY}"
                RESULT_VARIABLE result OUTPUT_VARIABLE symbols ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed: ${error}")
endif()

set(line_start "\n[0-9a-fA-F]+ [A-Za-z] ")
foreach(required "strandel::IsaacSimClient::IsaacSimClient(" "strandel::HTTPError::statusCode() const"
                 "typeinfo for strandel::HTTPError" "vtable for strandel::HTTPError")
  string(FIND "${symbols}" "${required}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "the library does not export ${required}; exported:\n${symbols}")
  endif()
endforeach()
if("\n${symbols}" MATCHES "${line_start}[^\n]*strandel::detail::[^\n]*")
  message(FATAL_ERROR "an internal symbol is exported: ${CMAKE_MATCH_0}")
endif()
string(REGEX REPLACE "${line_start}(strandel::|typeinfo for strandel::|typeinfo name for strandel::|vtable for strandel::)[^\n]*"
       "" foreign "\n${symbols}")
string(STRIP "${foreign}" foreign)
if(NOT foreign STREQUAL "")
  message(FATAL_ERROR "symbols outside namespace strandel are exported:\n${foreign}")
endif()

execute_process(COMMAND "${READELF}" -d "${LIBRARY}"
                RESULT_VARIABLE result OUTPUT_VARIABLE dynamic ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "readelf failed: ${error}")
endif()
if(NOT dynamic MATCHES "Library soname: \\[([^]\n]+)\\]")
  message(FATAL_ERROR "the library has no SONAME:\n${dynamic}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL EXPECTED_SONAME)
  message(FATAL_ERROR "SONAME is ${CMAKE_MATCH_1}, expected ${EXPECTED_SONAME}")
endif()
