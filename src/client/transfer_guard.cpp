#include "transfer_guard.hpp"

namespace strandel::detail {

void TransferGuard::installOn(CurlHandle& handle) {
  if (check_ == nullptr || !*check_) return;
  handle.setOption(CURLOPT_XFERINFOFUNCTION, &TransferGuard::onProgress);
  handle.setOption(CURLOPT_XFERINFODATA, static_cast<void*>(this));
  handle.setOption(CURLOPT_NOPROGRESS, 0L);
}

void TransferGuard::removeFrom(CurlHandle& handle) {
  handle.setOption(CURLOPT_NOPROGRESS, 1L);
  handle.setOption(CURLOPT_XFERINFOFUNCTION, static_cast<curl_xferinfo_callback>(nullptr));
  handle.setOption(CURLOPT_XFERINFODATA, static_cast<void*>(nullptr));
}

int TransferGuard::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  auto& guard = *static_cast<TransferGuard*>(self);
  return guard.run([&guard] { (*guard.check_)(); }) ? 0 : 1;  // non-zero aborts the transfer
}

}  // namespace strandel::detail
