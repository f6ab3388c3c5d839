#include "curl_handle.hpp"

namespace strandel::detail {
namespace {

// Takes every byte offered and keeps none.
std::size_t discard(char* /*data*/, std::size_t size, std::size_t count, void* /*user*/) {
  return size * count;
}

}  // namespace

CurlHandle::CurlHandle() : handle_(curl_easy_init()) {
  if (!handle_) throw std::runtime_error("Failed to initialize libcurl");
  setOption(CURLOPT_NOSIGNAL, 1L);
  setOption(CURLOPT_PATH_AS_IS, 1L);
  setOption(CURLOPT_WRITEFUNCTION, &discard);
  setOption(CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
}

void CurlHandle::setHeaderLines(std::initializer_list<const char*> lines) {
  std::unique_ptr<curl_slist, ListDeleter> list;
  for (const char* line : lines) {
    curl_slist* longer = curl_slist_append(list.get(), line);
    if (!longer) throw std::runtime_error("curl_slist_append failed: out of memory");
    list.release();  // now owned through `longer`, which starts with it
    list.reset(longer);
  }
  setOption(CURLOPT_HTTPHEADER, list.get());
  headers_ = std::move(list);
}

void CurlHandle::restrictSchemes(const char* allowed, const char* default_scheme) {
  setOption(CURLOPT_PROTOCOLS_STR, allowed);
  setOption(CURLOPT_DEFAULT_PROTOCOL, default_scheme);
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
