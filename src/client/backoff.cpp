#include "backoff.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace strandel::detail {
namespace {

constexpr std::int64_t kFirstDelayMs = 500;
constexpr std::int64_t kDelayCapMs = 8000;
constexpr double kRandomDivisor = 32767.0;

}  // namespace

std::chrono::milliseconds backoffDelay(int attempt) {
  // 500 * 2^4 already exceeds the cap, so larger attempts need no shift at all.
  const std::int64_t base =
      attempt >= 4 ? kDelayCapMs : std::min(kFirstDelayMs << std::max(attempt, 0), kDelayCapMs);
  // rand() may yield more than 15 bits; keep the low 15 so r stays within 0..32767.
  const int r = std::rand() & 0x7FFF;
  const double factor = 0.75 + 0.25 * (static_cast<double>(r) / kRandomDivisor);
  return std::chrono::milliseconds(static_cast<std::int64_t>(factor * static_cast<double>(base)));
}

void sleepFor(std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); }

void sleepInterruptibly(std::chrono::milliseconds delay,
                        const std::function<void(std::chrono::milliseconds)>& sleep,
                        const std::function<void()>& check) {
  if (!check) {
    sleep(delay);
    return;
  }
  for (;;) {
    check();
    if (delay <= std::chrono::milliseconds::zero()) return;
    const std::chrono::milliseconds slice = std::min(delay, kMaxSleepSlice);
    sleep(slice);
    delay -= slice;
  }
}

}  // namespace strandel::detail
