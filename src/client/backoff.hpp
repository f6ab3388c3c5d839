#pragma once

#include <chrono>

namespace strandel::detail {

/// Delay before the retry that follows attempt k (k from 0): min(500 * 2^k, 8000) ms times a
/// factor 0.75 + 0.25 * r / 32767.0 with r from rand(), truncated to whole milliseconds.
/// Thread-safe as far as the C library's rand() is.
std::chrono::milliseconds backoffDelay(int attempt);

/// Blocks the calling thread for `delay` (std::this_thread::sleep_for): the wait between the
/// attempts of a client's requests.
void sleepFor(std::chrono::milliseconds delay);

}  // namespace strandel::detail
