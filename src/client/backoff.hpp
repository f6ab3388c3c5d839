#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace strandel::detail {

/// A jitter source of its own for one client, seeded from std::random_device, so that clients
/// started together spread their retries. draw() is lock-free and safe on several threads.
class SeededJitter {
 public:
  SeededJitter();
  /// The next r in 0..32767.
  int draw() noexcept;

 private:
  std::atomic<std::uint64_t> state_;
};

/// How a client backs off: min(initial * 2^k, max) before the retry after attempt k, times the
/// jitter factor.
struct BackoffPolicy {
  std::chrono::milliseconds initial{500};
  std::chrono::milliseconds max{8000};
  /// Where r comes from: null for rand().
  SeededJitter* jitter = nullptr;
};

/// Delay before the retry that follows attempt k (k from 0): min(500 * 2^k, 8000) ms times a
/// factor 0.75 + 0.25 * r / 32767.0 with r from rand(), truncated to whole milliseconds.
/// Thread-safe as far as the C library's rand() is.
std::chrono::milliseconds backoffDelay(int attempt);

/// The same with the policy's initial delay, cap and jitter source (saturating, never negative).
std::chrono::milliseconds backoffDelay(int attempt, const BackoffPolicy& policy);

/// Blocks the calling thread for `delay` (std::this_thread::sleep_for): the wait between the
/// attempts of a client's requests.
void sleepFor(std::chrono::milliseconds delay);

/// The longest piece of a back-off that passes without a look at the interrupt check.
inline constexpr std::chrono::milliseconds kMaxSleepSlice{50};

/// Waits out `delay` through `sleep`. With an empty `check`, one call sleep(delay). Otherwise the
/// delay is cut into slices of at most kMaxSleepSlice, and check() runs before every slice and once
/// after the last, so a throwing check ends the wait within one slice; its exception propagates.
void sleepInterruptibly(std::chrono::milliseconds delay,
                        const std::function<void(std::chrono::milliseconds)>& sleep,
                        const std::function<void()>& check);

}  // namespace strandel::detail
