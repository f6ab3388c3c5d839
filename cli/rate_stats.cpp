#include "rate_stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace strandel_cli {
namespace {

constexpr double kSecondsPerNanosecond = 1e-9;

double secondsOf(std::int64_t nanoseconds) {
  return static_cast<double>(nanoseconds) * kSecondsPerNanosecond;
}

}  // namespace

RateStats::RateStats(std::size_t window) : window_(std::max<std::size_t>(window, 1)) {
  ring_.reserve(std::min<std::size_t>(window_, 1024));
}

void RateStats::add(std::chrono::steady_clock::time_point at) {
  if (messages_ > 0) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(at - last_).count();
    pushInterval(std::max<Nanoseconds>(elapsed, 0));
  }
  if (messages_ == 0 || at > last_) last_ = at;
  ++messages_;
}

void RateStats::pushInterval(Nanoseconds interval) {
  largestGap_ = std::max(largestGap_, interval);
  const double seconds = secondsOf(interval);
  if (count_ < window_) {
    if (ring_.size() < window_) ring_.push_back(interval);
    ++count_;
  } else {
    const Nanoseconds oldest = ring_[next_];
    sum_ -= oldest;
    sumSquares_ -= secondsOf(oldest) * secondsOf(oldest);
    ring_[next_] = interval;
  }
  next_ = (next_ + 1) % window_;
  sum_ += interval;
  sumSquares_ += seconds * seconds;

  // Sliding-window minimum and maximum: each interval enters and leaves each deque once.
  const std::size_t seq = sequence_++;
  const std::size_t oldestKept = sequence_ > window_ ? sequence_ - window_ : 0;
  while (!minima_.empty() && minima_.back().second >= interval) minima_.pop_back();
  minima_.emplace_back(seq, interval);
  while (minima_.front().first < oldestKept) minima_.pop_front();
  while (!maxima_.empty() && maxima_.back().second <= interval) maxima_.pop_back();
  maxima_.emplace_back(seq, interval);
  while (maxima_.front().first < oldestKept) maxima_.pop_front();

  // The running sum of squares loses precision as intervals come and go; rebuilding it once per
  // window keeps the error to one window's worth at O(1) amortised cost.
  if (++sinceRecompute_ >= window_) recomputeSquares();
}

void RateStats::recomputeSquares() {
  sinceRecompute_ = 0;
  double squares = 0.0;
  for (std::size_t i = 0; i < count_; ++i) squares += secondsOf(ring_[i]) * secondsOf(ring_[i]);
  sumSquares_ = squares;
}

RateSummary RateStats::summary() const {
  RateSummary result;
  result.messages = messages_;
  result.window = window_;
  result.largest_gap_s = secondsOf(largestGap_);
  if (count_ == 0) return result;
  const double n = static_cast<double>(count_);
  const double mean = secondsOf(sum_) / n;
  result.intervals = count_;
  result.average_hz = mean > 0.0 ? 1.0 / mean : 0.0;
  result.min_interval_s = secondsOf(minima_.front().second);
  result.max_interval_s = secondsOf(maxima_.front().second);
  const double variance = sumSquares_ / n - mean * mean;
  result.stddev_interval_s = variance > 0.0 ? std::sqrt(variance) : 0.0;
  return result;
}

std::string formatRate(const RateSummary& summary) {
  char text[256];
  if (summary.intervals == 0) {
    std::snprintf(text, sizeof text, "%zu message%s, no interval yet", summary.messages,
                  summary.messages == 1 ? "" : "s");
    return text;
  }
  std::snprintf(text, sizeof text,
                "%.2f Hz over %zu interval%s: min %.2f ms, max %.2f ms, std dev %.2f ms, "
                "largest gap %.2f ms, %zu messages",
                summary.average_hz, summary.intervals, summary.intervals == 1 ? "" : "s",
                summary.min_interval_s * 1e3, summary.max_interval_s * 1e3,
                summary.stddev_interval_s * 1e3, summary.largest_gap_s * 1e3, summary.messages);
  return text;
}

}  // namespace strandel_cli
