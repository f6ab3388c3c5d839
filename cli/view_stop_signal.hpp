#pragma once

// A stop request shared by a feed's thread and the thread that ends it: the feed sleeps in
// waitUntil, which returns at once when stop is requested.
//
// Thread-safety: every member may be called from any thread.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace strandel_cli {

class ViewStopSignal {
 public:
  /// Asks the feed to stop; wakes a waitUntil in progress.
  void request() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
  }

  bool requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }

  /// Sleeps until `deadline` or a stop request; true when the deadline came first.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_until(lock, deadline, [this] { return stopping_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
};

}  // namespace strandel_cli
