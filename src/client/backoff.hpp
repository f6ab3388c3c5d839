#pragma once

#include <chrono>
#include <functional>

namespace strandel::detail {

/// Delay before the retry that follows attempt k (k from 0): min(500 * 2^k, 8000) ms times a
/// factor 0.75 + 0.25 * r / 32767.0 with r from rand(), truncated to whole milliseconds.
/// Thread-safe as far as the C library's rand() is.
std::chrono::milliseconds backoffDelay(int attempt);

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
