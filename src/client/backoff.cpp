#include "backoff.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <thread>

namespace strandel::detail {
namespace {

constexpr std::int64_t kFirstDelayMs = 500;
constexpr std::int64_t kDelayCapMs = 8000;
constexpr double kRandomDivisor = 32767.0;

// min(initial * 2^attempt, cap) * (0.75 + 0.25 * r / 32767), truncated.
std::chrono::milliseconds jitteredDelay(int attempt, std::int64_t initial_ms, std::int64_t cap_ms,
                                        int r) {
  std::int64_t base = std::max<std::int64_t>(initial_ms, 0);
  constexpr std::int64_t kDoublable = std::numeric_limits<std::int64_t>::max() / 2;
  for (int k = 0; k < attempt && base > 0 && base < cap_ms && base <= kDoublable; ++k) base *= 2;
  base = std::min(base, std::max<std::int64_t>(cap_ms, 0));
  const double factor = 0.75 + 0.25 * (static_cast<double>(r) / kRandomDivisor);
  return std::chrono::milliseconds(static_cast<std::int64_t>(factor * static_cast<double>(base)));
}

}  // namespace

SeededJitter::SeededJitter() {
  std::random_device device;
  state_.store((std::uint64_t{device()} << 32) ^ device(), std::memory_order_relaxed);
}

int SeededJitter::draw() noexcept {
  // splitmix64 over an atomically advanced counter: every draw of every thread gets its own value.
  std::uint64_t z =
      state_.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed) + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return static_cast<int>((z ^ (z >> 31)) & 0x7FFF);
}

std::chrono::milliseconds backoffDelay(int attempt) {
  // rand() may yield more than 15 bits; keep the low 15 so r stays within 0..32767.
  return jitteredDelay(std::max(attempt, 0), kFirstDelayMs, kDelayCapMs, std::rand() & 0x7FFF);
}

std::chrono::milliseconds backoffDelay(int attempt, const BackoffPolicy& policy) {
  const int r = policy.jitter != nullptr ? policy.jitter->draw() : std::rand() & 0x7FFF;
  return jitteredDelay(std::max(attempt, 0), policy.initial.count(), policy.max.count(), r);
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
