#pragma once

// The barrier between a transfer's callbacks and libcurl's C frames, and the client's interrupt
// check polled during the transfer.
//
// An exception must never unwind through curl_easy_perform. Every callback of ours that runs code
// which may throw (the interrupt check, the attempt hook) runs it through run(), which catches
// and keeps the first exception; the callback then tells libcurl to abort, and the transfer's
// owner calls rethrowIfFailed() once curl_easy_perform has returned, so the exception leaves the
// call unchanged.

#include <exception>
#include <functional>

#include <curl/curl.h>

#include "curl_handle.hpp"

namespace strandel::detail {

/// The failure slot and interrupt check of one transfer. Must outlive the transfer it is
/// installed on; not copyable or movable (libcurl keeps its address). Used on the thread that
/// runs the transfer only.
class TransferGuard {
 public:
  /// `check` is the client's interrupt check: null or empty for none. Not owned.
  explicit TransferGuard(const std::function<void()>* check) noexcept : check_(check) {}
  TransferGuard(const TransferGuard&) = delete;
  TransferGuard& operator=(const TransferGuard&) = delete;

  /// With a check: turns on libcurl's progress callback for the handle (CURLOPT_NOPROGRESS 0) and
  /// makes it call the check; libcurl calls it many times a second while bytes move, about once a
  /// second while it waits, and at once when a signal interrupts its wait. A check that throws
  /// aborts the transfer (CURLE_ABORTED_BY_CALLBACK) and its exception is kept. Without a check,
  /// nothing is set. Throws the errors of CurlHandle::setOption.
  void installOn(CurlHandle& handle);

  /// Undoes installOn: the handle no longer refers to this guard (for a handle that outlives it).
  /// Throws the errors of CurlHandle::setOption.
  static void removeFrom(CurlHandle& handle);

  /// Runs `action` unless an exception is already kept; keeps what it throws. Returns true when
  /// it ran and returned normally. Never throws.
  template <typename Action>
  bool run(Action&& action) noexcept {
    if (failure_) return false;
    try {
      action();
      return true;
    } catch (...) {
      failure_ = std::current_exception();
      return false;
    }
  }

  /// Whether an exception is kept.
  bool failed() const noexcept { return static_cast<bool>(failure_); }

  /// Throws the kept exception, if any, unchanged.
  void rethrowIfFailed() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept;

  const std::function<void()>* check_;
  std::exception_ptr failure_;
};

}  // namespace strandel::detail
