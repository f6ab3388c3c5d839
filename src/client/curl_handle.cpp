#include "curl_handle.hpp"

namespace strandel::detail {

CurlHandle::CurlHandle() : handle_(curl_easy_init()) {
  if (!handle_) throw std::runtime_error("Failed to initialize libcurl");
  setOption(CURLOPT_NOSIGNAL, 1L);
  setOption(CURLOPT_PATH_AS_IS, 1L);
}

void CurlHandle::setHeaderLine(const char* line) {
  curl_slist* list = curl_slist_append(nullptr, line);
  if (!list) throw std::runtime_error("curl_slist_append failed: out of memory");
  headers_.reset(list);
  setOption(CURLOPT_HTTPHEADER, list);
}

void CurlHandle::setSocketOptions(curl_sockopt_callback callback) {
  setOption(CURLOPT_SOCKOPTFUNCTION, callback);
}

CURLcode CurlHandle::perform() noexcept { return curl_easy_perform(handle_.get()); }

long CurlHandle::responseCode() const noexcept {
  long status = 0;
  curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

CURL* CurlHandle::release() noexcept {
  if (headers_ && handle_) {
    curl_easy_setopt(handle_.get(), CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  }
  headers_.reset();
  return handle_.release();
}

}  // namespace strandel::detail
