#pragma once

#include <chrono>
#include <vector>

#include "client/request_engine.hpp"

namespace strandel::testing_util {

/// A sleeper for detail::performRequest that records each back-off delay instead of waiting.
/// Not thread-safe: feed it from one request at a time. Must outlive every use of sleeper().
class BackoffRecorder {
 public:
  /// A sleeper that appends each delay it is given to delays().
  detail::Sleeper sleeper() {
    return [this](std::chrono::milliseconds delay) { delays_.push_back(delay); };
  }

  /// The delays recorded so far, in order.
  const std::vector<std::chrono::milliseconds>& delays() const noexcept { return delays_; }

 private:
  std::vector<std::chrono::milliseconds> delays_;
};

}  // namespace strandel::testing_util
