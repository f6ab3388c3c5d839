# Builds the Debian packages of BUILD_DIR with cpack and checks them:
#   every package: its control fields (version, Section, Priority, a synopsis and an extended
#   description), exactly the files it should hold, a machine-readable copyright file and a Debian
#   changelog of this version in /usr/share/doc/<package>;
#   the library (PACKAGE_NAME): the shared library only, libcurl >= MIN_CURL_VERSION at run time and
#   nothing -dev, a shlibs entry, an ldconfig trigger and no maintainer scripts;
#   the development package (DEV_PACKAGE_NAME): headers, CMake package, .pc file (unpacked, it gives
#   plain /usr paths) and the unversioned link, depending on the library of the same version;
#   strandel-tools, python3-strandel, strandel-mock-bridge (when built): program, completion, man
#   page, the package strandel (extension, Python files, stub, py.typed);
#   strandel-doc: README, upstream changelog, protocol, examples (and the API reference when the docs
#   target exists, which is built first);
#   lintian (when LINTIAN is given) reports no error on any package; its counts are printed;
#   the runtime packages unpacked into one directory run: strandel --version, import strandel,
#   strandel-mock-bridge --help; apt-get (when APT_GET is given) resolves their installation.
#   -DCPACK=... -DDPKG_DEB=... -DBUILD_DIR=... -DOUTPUT_DIR=... -DMIN_CURL_VERSION=...
#   -DEXPECT_SHLIBDEPS=ON|OFF -DDPKG_ARCHITECTURE=<or empty> -DPKG_CONFIG=<or empty>
#   -DLINTIAN=<or empty> -DAPT_GET=<or empty> -DWITH_DOCS=1|0 (the docs target exists)
#   -DTOOLS_PACKAGE= -DPYTHON_PACKAGE= -DMOCK_BRIDGE_PACKAGE= (each a name, or empty when not built)
#   -DDOC_PACKAGE=... -DSOURCE_DIR=<the library's sources> plus what expected_files.cmake reads
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/expected_files.cmake")

function(run out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}):\n${output}\n${error}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

# Sets `out` to the one .deb named <package>_<version>-1_<architecture>.deb.
function(find_package_file out package)
  string(REPLACE "." "\\." version_pattern "${VERSION}")
  set(found "")
  foreach(file IN LISTS packages)
    get_filename_component(name "${file}" NAME)
    if(name MATCHES "^${package}_${version_pattern}-1_[a-z0-9]+\\.deb$")
      list(APPEND found "${file}")
    endif()
  endforeach()
  list(LENGTH found found_count)
  if(NOT found_count EQUAL 1)
    message(FATAL_ERROR "cpack made ${found_count} .deb files for ${package}: ${packages}")
  endif()
  message(STATUS "package: ${found}")
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

function(expect_field deb name pattern)
  run(value "${DPKG_DEB}" --field "${deb}" ${name})
  string(STRIP "${value}" value)
  if(NOT value MATCHES "${pattern}")
    message(FATAL_ERROR "${deb}: field ${name} is '${value}', expected to match ${pattern}")
  endif()
endfunction()

function(expect_no_field_match deb name pattern)
  run(value "${DPKG_DEB}" --field "${deb}" ${name})
  if(value MATCHES "${pattern}")
    message(FATAL_ERROR "${deb}: field ${name} is '${value}', expected not to match ${pattern}")
  endif()
endfunction()

# Fails unless one clause of the Depends field starts with `package` asking for at least
# MIN_CURL_VERSION: apt takes the first alternative, so a fresh install gets a libcurl that fits.
function(expect_recent_curl deb package)
  run(depends "${DPKG_DEB}" --field "${deb}" Depends)
  string(STRIP "${depends}" depends)
  string(REPLACE "," ";" clauses "${depends}")
  foreach(clause IN LISTS clauses)
    string(REPLACE "|" ";" alternatives "${clause}")
    list(GET alternatives 0 first)
    string(STRIP "${first}" first)
    if(first MATCHES "^([^ ]+) \\(>= ([0-9.]+)\\)$" AND CMAKE_MATCH_1 STREQUAL package
       AND CMAKE_MATCH_2 VERSION_GREATER_EQUAL MIN_CURL_VERSION)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${deb}: no Depends clause starts with ${package} (>= ${MIN_CURL_VERSION}): "
                      "'${depends}'")
endfunction()

# Sets `files` to the paths (without "./") of the regular files and links of `deb`, and `links` to
# "path:target" for each link. Listing lines look like
# "-rw-r--r-- root/root 1234 2024-01-01 12:00 ./usr/include/strandel/x.hpp" or
# "lrwxrwxrwx root/root 0 2024-01-01 12:00 ./usr/lib/libx.so -> libx.so.0".
function(list_contents deb files_out links_out)
  run(listing "${DPKG_DEB}" --contents "${deb}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(files "")
  set(links "")
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      continue()
    endif()
    if(NOT line MATCHES "^([-dl])[^ ]* +[^ ]+ +[0-9]+ +[^ ]+ +[^ ]+ +\\./(.*)$")
      message(FATAL_ERROR "unexpected dpkg-deb listing line: ${line}")
    endif()
    set(type "${CMAKE_MATCH_1}")
    set(path "${CMAKE_MATCH_2}")
    if(type STREQUAL "d")
      continue()
    endif()
    if(type STREQUAL "l")
      string(REPLACE " -> " ":" path "${path}")
      list(APPEND links "${path}")
      string(REGEX REPLACE ":.*" "" path "${path}")
    endif()
    list(APPEND files "${path}")
  endforeach()
  set(${files_out} "${files}" PARENT_SCOPE)
  set(${links_out} "${links}" PARENT_SCOPE)
endfunction()

function(expect_same_file installed source)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${installed}" "${source}"
                  RESULT_VARIABLE different)
  if(NOT different EQUAL 0)
    message(FATAL_ERROR "${installed} differs from ${source}")
  endif()
endfunction()

# The API reference first (cpack builds only the default targets), so strandel-doc carries it. A
# failing Doxygen run is docs.api_reference's to report; the package then goes without it.
if(WITH_DOCS)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD_DIR}" --target docs
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(NOT result EQUAL 0 OR NOT EXISTS "${BUILD_DIR}/docs/html/index.html")
    message(STATUS "the docs target failed (${result}): strandel-doc is checked without the API reference")
    set(WITH_DOCS OFF)
  endif()
endif()
file(REMOVE_RECURSE "${OUTPUT_DIR}")
run(ignored "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${OUTPUT_DIR}")
file(GLOB packages "${OUTPUT_DIR}/*.deb")
string(REPLACE "." "\\." version_pattern "${VERSION}")
set(doc_root "usr/${DATAROOTDIR}/doc")
set(unpacked "${OUTPUT_DIR}/unpacked")

# Checks the fields and the documents every package shares; sets `<package>_deb` to its file and
# `links` to its links. The arguments after the section are the expressions of its other files, one
# file each; files matching `many_files` (when set) may be any number.
function(check_package package section)
  find_package_file(deb "${package}")
  set(${package}_deb "${deb}" PARENT_SCOPE)
  expect_field("${deb}" Package "^${package}$")
  expect_field("${deb}" Version "^${version_pattern}-1$")
  expect_field("${deb}" Section "^${section}$")
  expect_field("${deb}" Priority "^optional$")
  expect_field("${deb}" Maintainer "^[^<>]+ <[^@ ]+@[^@ ]+>$")
  # A synopsis, then an extended description (lintian judges their lengths).
  expect_field("${deb}" Description "^[^\n]+\n [^\n]")
  set(docs "${doc_root}/${package}")
  list_contents("${deb}" files links)
  if(many_files)
    list(FILTER files EXCLUDE REGEX "${many_files}")
  endif()
  set(expected "${ARGN}" "^${docs}/copyright$" "^${docs}/changelog\\.Debian\\.gz$"
               "^usr/${DATAROOTDIR}/lintian/overrides/${package}$")
  if(NOT EXISTS "${SOURCE_DIR}/cmake/debian/lintian/${package}")
    list(POP_BACK expected)
  endif()
  strandel_check_files("${deb}" "${files}" "${expected}")
  set(links "${links}" PARENT_SCOPE)

  set(root "${unpacked}/${package}")
  file(MAKE_DIRECTORY "${root}")
  run(ignored "${DPKG_DEB}" -x "${deb}" "${root}")
  expect_same_file("${root}/${docs}/copyright" "${BUILD_DIR}/debian/copyright")
  file(READ "${root}/${docs}/copyright" copyright)
  if(NOT copyright MATCHES "^Format: [^\n]*copyright-format/1\\.0/\n" OR NOT copyright MATCHES "\nLicense: Apache-2\\.0\n")
    message(FATAL_ERROR "${deb}: the copyright file is not in Debian's machine-readable format")
  endif()
  run(changelog gzip -dc "${root}/${docs}/changelog.Debian.gz")
  if(NOT changelog MATCHES "^[a-z0-9.+-]+ \\(${version_pattern}-1\\) ")
    message(FATAL_ERROR "${deb}: changelog.Debian.gz does not start with ${VERSION}-1:\n${changelog}")
  endif()
endfunction()

function(escape out text)
  string(REGEX REPLACE "([.+])" "\\\\\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# --- The library: the shared library and nothing for development ---
strandel_expected_install_files(expected "usr/" Runtime)
list(FILTER expected EXCLUDE REGEX "/doc/")
check_package("${PACKAGE_NAME}" libs ${expected})
set(library_deb "${${PACKAGE_NAME}_deb}")
set(library "usr/${LIBDIR}/libstrandel_isaacsim_client.so")
if(NOT "${library}.${MAJOR}:libstrandel_isaacsim_client.so.${VERSION}" IN_LIST links)
  message(FATAL_ERROR "the library package lacks its SONAME link; links: ${links}")
endif()
expect_recent_curl("${library_deb}" libcurl4)
expect_no_field_match("${library_deb}" Depends "-dev")
if(EXPECT_SHLIBDEPS)
  expect_field("${library_deb}" Depends "(^|, )libstdc\\+\\+6( |,|$)")
endif()
run(shlibs "${DPKG_DEB}" --info "${library_deb}" shlibs)
string(STRIP "${shlibs}" shlibs)
if(NOT shlibs STREQUAL "libstrandel_isaacsim_client ${MAJOR} ${PACKAGE_NAME} (>= ${VERSION}-1)")
  message(FATAL_ERROR "unexpected shlibs entry '${shlibs}'")
endif()
run(triggers "${DPKG_DEB}" --info "${library_deb}" triggers)
string(STRIP "${triggers}" triggers)
run(control_files "${DPKG_DEB}" --info "${library_deb}")
if(NOT triggers STREQUAL "activate-noawait ldconfig" OR control_files MATCHES "postinst|postrm")
  message(FATAL_ERROR "the library package should activate ldconfig by trigger alone:\n${control_files}")
endif()
# Debian looks for libraries in /usr/lib/<multiarch triplet>.
if(DPKG_ARCHITECTURE)
  run(triplet "${DPKG_ARCHITECTURE}" -qDEB_HOST_MULTIARCH)
  string(STRIP "${triplet}" triplet)
  if(NOT LIBDIR STREQUAL "lib/${triplet}")
    message(FATAL_ERROR "the library is installed to ${LIBDIR}, not to Debian's lib/${triplet}")
  endif()
endif()

# --- The development files ---
strandel_expected_install_files(expected "usr/" Development)
list(FILTER expected EXCLUDE REGEX "/doc/")
check_package("${DEV_PACKAGE_NAME}" libdevel ${expected})
set(dev_deb "${${DEV_PACKAGE_NAME}_deb}")
if(NOT "${library}:libstrandel_isaacsim_client.so.${MAJOR}" IN_LIST links)
  message(FATAL_ERROR "the development package lacks the link ${library}; links: ${links}")
endif()
escape(library_name "${PACKAGE_NAME}")
expect_field("${dev_deb}" Depends "(^|, )${library_name} \\(= ${version_pattern}-1\\)(,|$)")
expect_field("${dev_deb}" Depends "nlohmann-json3-dev \\(>= [0-9.]+\\)")
expect_recent_curl("${dev_deb}" libcurl4-openssl-dev)
# The installed .pc file names /usr itself, not a path relative to its own directory.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} "${unpacked}/${DEV_PACKAGE_NAME}/usr/${PCDIR}")
  foreach(variable_and_value "prefix:/usr" "libdir:/usr/${LIBDIR}" "includedir:/usr/${INCLUDEDIR}")
    string(REPLACE ":" ";" pair "${variable_and_value}")
    list(GET pair 0 variable)
    list(GET pair 1 expected_value)
    run(value "${PKG_CONFIG}" --variable=${variable} strandel_isaacsim_client)
    string(STRIP "${value}" value)
    if(NOT value STREQUAL expected_value)
      message(FATAL_ERROR "the packaged .pc file gives ${variable}=${value}, expected ${expected_value}")
    endif()
  endforeach()
  run(cflags "${PKG_CONFIG}" --cflags strandel_isaacsim_client)
  string(FIND "${cflags}" "${unpacked}" unpacked_at)
  if(cflags MATCHES "/\\.\\./" OR NOT unpacked_at EQUAL -1)
    message(FATAL_ERROR "the packaged .pc file gives unclean --cflags: ${cflags}")
  endif()
endif()

# --- The programs and the module: each needs the library of this version, nothing -dev ---
set(runtime_debs "${library_deb}")
set(man "usr/${DATAROOTDIR}/man/man1")
if(TOOLS_PACKAGE)
  check_package("${TOOLS_PACKAGE}" utils "^usr/${BINDIR}/strandel$"
    "^usr/${DATAROOTDIR}/bash-completion/completions/strandel$" "^${man}/strandel\\.1\\.gz$")
  list(APPEND runtime_debs "${${TOOLS_PACKAGE}_deb}")
  expect_field("${${TOOLS_PACKAGE}_deb}" Depends "(^|, )${library_name} \\(>= ${version_pattern}-1\\)(,|$)")
endif()
if(PYTHON_PACKAGE)
  # The package directory in Debian's dist-packages: the extension, the Python files, the stub.
  set(PYTHON_PACKAGEDIR "lib/python3/dist-packages/strandel")
  set(PYTHON_PACKAGE_NAME "${PYTHON_PACKAGE}")
  strandel_expected_install_files(expected "usr/" Python)
  list(FILTER expected EXCLUDE REGEX "/doc/")
  check_package("${PYTHON_PACKAGE}" python ${expected})
  list(APPEND runtime_debs "${${PYTHON_PACKAGE}_deb}")
  expect_field("${${PYTHON_PACKAGE}_deb}" Depends "(^|, )${library_name} \\(= ${version_pattern}-1\\)(,|$)")
  expect_field("${${PYTHON_PACKAGE}_deb}" Depends "(^|, )python3-numpy(,|$)")
endif()
if(MOCK_BRIDGE_PACKAGE)
  set(bridge_docs "${doc_root}/${MOCK_BRIDGE_PACKAGE}")
  check_package("${MOCK_BRIDGE_PACKAGE}" devel "^usr/${BINDIR}/strandel-mock-bridge$"
    "^${bridge_docs}/bridge-protocol\\.md$" "^${man}/strandel-mock-bridge\\.1\\.gz$")
  list(APPEND runtime_debs "${${MOCK_BRIDGE_PACKAGE}_deb}")
  # It links urdfdom and the C++ runtime, neither libcurl nor the library.
  if(EXPECT_SHLIBDEPS)
    expect_field("${${MOCK_BRIDGE_PACKAGE}_deb}" Depends "(^|, )liburdfdom-model[^ ,]*( |,|$)")
  endif()
  expect_no_field_match("${${MOCK_BRIDGE_PACKAGE}_deb}" Depends "libcurl|${PACKAGE_NAME}")
  expect_same_file("${unpacked}/${MOCK_BRIDGE_PACKAGE}/${bridge_docs}/bridge-protocol.md"
                   "${SOURCE_DIR}/docs/bridge-protocol.md")
endif()
foreach(deb IN LISTS runtime_debs)
  expect_no_field_match("${deb}" Depends "-dev")
endforeach()

# --- The documentation (architecture-independent) ---
set(docs "${doc_root}/${DOC_PACKAGE}")
set(many_files "^${docs}/(examples|html)/")
check_package("${DOC_PACKAGE}" doc "^${docs}/README\\.md$" "^${docs}/changelog\\.gz$"
              "^${docs}/bridge-protocol\\.md$")
unset(many_files)
expect_field("${${DOC_PACKAGE}_deb}" Architecture "^all$")
foreach(file "README.md" "examples/quickstart.cpp" "html/index.html")
  if(NOT EXISTS "${unpacked}/${DOC_PACKAGE}/${docs}/${file}" AND (WITH_DOCS OR NOT file MATCHES "^html/"))
    message(FATAL_ERROR "strandel-doc lacks ${file}")
  endif()
endforeach()

# --- Every package passes lintian without an error; the counts per package are printed ---
if(LINTIAN)
  execute_process(COMMAND "${LINTIAN}" --fail-on error --display-level ">=warning" ${packages}
                  RESULT_VARIABLE lintian_result OUTPUT_VARIABLE report ERROR_VARIABLE lintian_error)
  message(STATUS "lintian:\n${report}${lintian_error}")
  foreach(deb IN LISTS packages)
    get_filename_component(name "${deb}" NAME)
    string(REGEX REPLACE "_.*" "" name "${name}")
    escape(name_pattern "${name}")
    string(REGEX MATCHALL "(^|\n)E: ${name_pattern}( \\[[^]]*\\])?:" errors "${report}")
    string(REGEX MATCHALL "(^|\n)W: ${name_pattern}( \\[[^]]*\\])?:" warnings "${report}")
    list(LENGTH errors error_count)
    list(LENGTH warnings warning_count)
    message(STATUS "lintian ${name}: ${error_count} errors, ${warning_count} warnings")
  endforeach()
  if(NOT lintian_result EQUAL 0)
    message(FATAL_ERROR "lintian reports errors (${lintian_result}); see above")
  endif()
endif()

# --- The runtime packages, unpacked into one directory, run there ---
set(root "${unpacked}/runtime")
foreach(deb IN LISTS runtime_debs)
  run(ignored "${DPKG_DEB}" -x "${deb}" "${root}")
endforeach()
# Debian's programs and libraries carry no RPATH or RUNPATH (none into the build tree either).
find_program(READELF readelf)
if(READELF)
  file(GLOB_RECURSE elf_files "${root}/usr/${BINDIR}/*" "${root}/usr/lib/*.so*")
  foreach(file IN LISTS elf_files)
    if(IS_SYMLINK "${file}")
      continue()
    endif()
    run(dynamic "${READELF}" -d "${file}")
    if(dynamic MATCHES "\\((RPATH|RUNPATH)\\)[^\n]*")
      message(FATAL_ERROR "${file} carries ${CMAKE_MATCH_0}")
    endif()
  endforeach()
endif()
set(run_env "${CMAKE_COMMAND}" -E env "LD_LIBRARY_PATH=${root}/usr/${LIBDIR}"
            "PYTHONPATH=${root}/usr/lib/python3/dist-packages")
if(TOOLS_PACKAGE)
  execute_process(COMMAND ${run_env} "${root}/usr/${BINDIR}/strandel" --version
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result EQUAL 0 OR NOT output MATCHES "${version_pattern}")
    # A command line without --version still has to start with the packaged library.
    message(STATUS "strandel --version: ${result} ${output}${error}")
    run(output ${run_env} "${root}/usr/${BINDIR}/strandel" --help)
    if(NOT output MATCHES "Usage: strandel")
      message(FATAL_ERROR "the packaged strandel --help printed:\n${output}")
    endif()
  endif()
endif()
# The package is for Debian's own interpreter, the one whose dist-packages it fills.
find_program(PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(PYTHON_PACKAGE AND PYTHON)
  run(output ${run_env} "${PYTHON}" -c "import strandel\nprint(strandel.__version__, strandel.__file__)")
  if(NOT output MATCHES "^${version_pattern} ${root}/")
    message(FATAL_ERROR "the packaged module printed: ${output}")
  endif()
endif()
if(MOCK_BRIDGE_PACKAGE)
  run(usage "${root}/usr/${BINDIR}/strandel-mock-bridge" --help)
  if(NOT usage MATCHES "(^|\n)Usage: strandel-mock-bridge " OR NOT usage MATCHES "--port N")
    message(FATAL_ERROR "the packaged strandel-mock-bridge --help printed:\n${usage}")
  endif()
endif()

# --- apt resolves the runtime packages from the machine's sources (no -dev among their needs) ---
if(APT_GET)
  run(plan "${APT_GET}" install --simulate --no-install-recommends ${runtime_debs})
  string(REGEX MATCHALL "(^|\n)Inst [^ \n]+" installs "${plan}")
  list(LENGTH installs install_count)
  message(STATUS "apt-get --simulate installs ${install_count} packages:${installs}")
endif()
