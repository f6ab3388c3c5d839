#include "connection_share.hpp"

#include <stdexcept>
#include <string>

#include "curl_handle.hpp"

namespace strandel::detail {

namespace {

void check(CURLSHcode code) {
  if (code != CURLSHE_OK) {
    throw std::runtime_error(std::string("curl_share_setopt failed: ") + curl_share_strerror(code));
  }
}

}  // namespace

ConnectionShare::ConnectionShare() {
  // An easy handle first, so that libcurl's global state is set up exactly as for every other
  // handle of the library.
  const CurlHandle initialized;
  share_ = curl_share_init();
  if (share_ == nullptr) throw std::runtime_error("Failed to initialize libcurl share");
  try {
    check(curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &ConnectionShare::lock));
    check(curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &ConnectionShare::unlock));
    check(curl_share_setopt(share_, CURLSHOPT_USERDATA, static_cast<void*>(this)));
    check(curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT));
  } catch (...) {
    curl_share_cleanup(share_);
    throw;
  }
}

ConnectionShare::~ConnectionShare() { curl_share_cleanup(share_); }

void ConnectionShare::lock(CURL* /*handle*/, curl_lock_data data, curl_lock_access /*access*/,
                           void* self) {
  if (data < 0 || data >= CURL_LOCK_DATA_LAST) return;
  static_cast<ConnectionShare*>(self)->mutexes_[static_cast<std::size_t>(data)].lock();
}

void ConnectionShare::unlock(CURL* /*handle*/, curl_lock_data data, void* self) {
  if (data < 0 || data >= CURL_LOCK_DATA_LAST) return;
  static_cast<ConnectionShare*>(self)->mutexes_[static_cast<std::size_t>(data)].unlock();
}

}  // namespace strandel::detail
