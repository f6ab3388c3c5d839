# Writes the C++ program of README.md's "## Usage" section to OUTPUT, so that it is compiled and
# run against the stand-in exactly as a reader would copy it. Only the bridge's address changes:
# the two URL literals become the address named by the STRANDEL_README_BRIDGE environment
# variable (host:port), since tests never bind a fixed port. Fails when the section, its program
# or either URL literal is missing.
#
# usage: cmake -DREADME=path/README.md -DOUTPUT=path/readme_usage.cpp -P readme_usage.cmake
file(READ "${README}" text)
string(FIND "${text}" "\n## Usage\n" section)
if(section EQUAL -1)
  message(FATAL_ERROR "${README} has no '## Usage' section")
endif()
string(SUBSTRING "${text}" ${section} -1 text)
string(FIND "${text}" "```cpp\n" begin)
if(begin EQUAL -1)
  message(FATAL_ERROR "the '## Usage' section of ${README} has no C++ program")
endif()
math(EXPR begin "${begin} + 7")
string(SUBSTRING "${text}" ${begin} -1 text)
string(FIND "${text}" "\n```" end)
math(EXPR end "${end} + 1")
string(SUBSTRING "${text}" 0 ${end} program)

foreach(scheme IN ITEMS http ws)
  set(literal "\"${scheme}://127.0.0.1:8211\"")
  string(FIND "${program}" "${literal}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the README program no longer names ${literal}, the stand-in's default address")
  endif()
  string(REPLACE "${literal}" "readmeBridgeUrl(\"${scheme}\")" program "${program}")
endforeach()

set(prologue [=[// Generated from README.md by examples/readme_usage.cmake; edit the README instead.
#include <cstdlib>
#include <string>

static std::string readmeBridgeUrl(const char* scheme) {
  const char* address = std::getenv("STRANDEL_README_BRIDGE");
  return std::string(scheme) + "://" + (address != nullptr ? address : "127.0.0.1:8211");
}

]=])
file(WRITE "${OUTPUT}.tmp" "${prologue}${program}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
