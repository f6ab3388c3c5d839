# Finds libcurl and insists on a version with the WebSocket calls (curl_ws_send, curl_ws_recv),
# which Debian 12's own libcurl (7.88) lacks. CMake 3.25's FindCURL knows no WS component, so the
# check is the version plus a compile-and-link test.
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

set(STRANDEL_MIN_CURL_VERSION 8.11)
set(_strandel_curl_hint
    "Install a libcurl >= ${STRANDEL_MIN_CURL_VERSION} with WebSocket support. On Debian 12 run "
    "scripts/install-deps.sh as root; it adds the distribution's bookworm-backports suite and installs "
    "'libcurl4-openssl-dev/bookworm-backports curl/bookworm-backports'.")

find_package(CURL)
if(NOT CURL_FOUND)
  message(FATAL_ERROR "libcurl was not found. " ${_strandel_curl_hint})
endif()
if(CURL_VERSION_STRING VERSION_LESS STRANDEL_MIN_CURL_VERSION)
  message(FATAL_ERROR "libcurl ${CURL_VERSION_STRING} is too old. " ${_strandel_curl_hint})
endif()

cmake_push_check_state(RESET)
set(CMAKE_REQUIRED_LIBRARIES CURL::libcurl)
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles([[
#include <curl/curl.h>
int main() {
  size_t sent = 0;
  CURL* h = curl_easy_init();
  CURLcode rc = curl_ws_send(h, "", 0, &sent, 0, CURLWS_TEXT);
  const struct curl_ws_frame* meta = curl_ws_meta(h);
  (void)meta;
  curl_easy_cleanup(h);
  return rc == CURLE_OK ? 0 : 1;
}
]] STRANDEL_CURL_HAS_WEBSOCKETS)
cmake_pop_check_state()
if(NOT STRANDEL_CURL_HAS_WEBSOCKETS)
  message(FATAL_ERROR "libcurl ${CURL_VERSION_STRING} lacks WebSocket support (curl_ws_send). "
                      ${_strandel_curl_hint})
endif()
