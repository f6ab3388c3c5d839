#pragma once

// Fault injection for watching a client's retries: every Nth request is answered with a chosen
// status instead of being served. Not thread-safe: used from the server's one thread.

#include <cstdint>
#include <optional>

namespace strandel::mock_bridge {

class FaultInjector {
 public:
  /// `every` 0 never injects; otherwise requests every, 2*every, ... (counting from 1) fail.
  FaultInjector(std::uint32_t every, int status) : every_(every), status_(status) {}

  /// Counts one request; the status to answer it with when it is to fail.
  std::optional<int> next() {
    ++count_;
    if (every_ == 0 || count_ % every_ != 0) return std::nullopt;
    return status_;
  }

 private:
  std::uint32_t every_;
  int status_;
  std::uint64_t count_ = 0;
};

}  // namespace strandel::mock_bridge
