#pragma once

#include <chrono>

namespace strandel::detail {

/// Delay before the retry that follows attempt k (k from 0): min(500 * 2^k, 8000) ms times a
/// factor 0.75 + 0.25 * r / 32767.0 with r from rand(), truncated to whole milliseconds.
std::chrono::milliseconds backoffDelay(int attempt);

/// The sleep the request engine uses between attempts.
using SleepFunction = void (*)(std::chrono::milliseconds);

/// Sleeps through the currently installed sleep function (std::this_thread::sleep_for unless
/// replaced).
void backoffSleep(std::chrono::milliseconds delay);

/// Installs `replacement` (nullptr restores the real sleep) and returns the previous function.
/// For tests that must not really wait; not meant to be switched while requests are in flight.
SleepFunction replaceBackoffSleep(SleepFunction replacement) noexcept;

}  // namespace strandel::detail
