#pragma once

// Replaces the request engine's back-off sleep for the lifetime of one object: the delays are
// recorded instead of slept, so retry tests run at full speed. One recorder at a time.

#include <chrono>
#include <mutex>
#include <vector>

#include "client/backoff.hpp"

namespace strandel::testing_util {

class BackoffRecorder {
 public:
  BackoffRecorder() {
    {
      std::lock_guard<std::mutex> lock(mutex());
      storage().clear();
    }
    previous_ = detail::replaceBackoffSleep(&record);
  }
  ~BackoffRecorder() { detail::replaceBackoffSleep(previous_); }
  BackoffRecorder(const BackoffRecorder&) = delete;
  BackoffRecorder& operator=(const BackoffRecorder&) = delete;

  /// The delays the engine asked to sleep, in order.
  std::vector<std::chrono::milliseconds> delays() const {
    std::lock_guard<std::mutex> lock(mutex());
    return storage();
  }

 private:
  static void record(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex());
    storage().push_back(delay);
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::chrono::milliseconds>& storage() {
    static std::vector<std::chrono::milliseconds> s;
    return s;
  }

  detail::SleepFunction previous_ = nullptr;
};

}  // namespace strandel::testing_util
