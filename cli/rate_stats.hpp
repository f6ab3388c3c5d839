#pragma once

// Message rate statistics in the manner of `ros2 topic hz`: the average rate and the spread of
// the intervals between arrivals over a sliding window of the latest intervals, and the largest
// gap since the start. Not thread-safe: one RateStats is fed and read by one thread at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace strandel_cli {

/// What RateStats::summary reports. Intervals are in seconds.
struct RateSummary {
  std::size_t messages = 0;   ///< messages seen in total
  std::size_t intervals = 0;  ///< intervals in the window
  double average_hz = 0.0;    ///< 1 / mean interval over the window; 0 when no interval
  double min_interval_s = 0.0, max_interval_s = 0.0, stddev_interval_s = 0.0;
  double largest_gap_s = 0.0;  ///< largest interval since the start (not only the window)
  std::size_t window = 0;      ///< the window's capacity in intervals
};

/// Arrival statistics over the last `window` intervals. add() is O(1) amortised and memory is
/// bounded by the window; summary() is O(1). Not thread-safe.
class RateStats {
 public:
  /// The window default of `ros2 topic hz`.
  static constexpr std::size_t kDefaultWindow = 10000;

  /// `window` intervals are kept (at least 1: 0 is taken as 1). Throws only std::bad_alloc.
  explicit RateStats(std::size_t window);

  /// One message arrived at `at`; arrivals are expected in non-decreasing order (an earlier time
  /// counts as an interval of zero). Throws only std::bad_alloc.
  void add(std::chrono::steady_clock::time_point at);

  /// The statistics so far; all zero but `messages` and `window` before the second message.
  RateSummary summary() const;

 private:
  using Nanoseconds = std::int64_t;

  void pushInterval(Nanoseconds interval);
  void recomputeSquares();

  std::size_t window_;
  std::vector<Nanoseconds> ring_;  // the window's intervals, oldest at next_ once full
  std::size_t next_ = 0;           // where the next interval goes
  std::size_t count_ = 0;          // intervals in the ring
  std::size_t sinceRecompute_ = 0;
  Nanoseconds sum_ = 0;      // exact sum of the ring
  double sumSquares_ = 0.0;  // sum of squared intervals in s^2, recomputed every window
  // Candidates for the window's minimum and maximum: (sequence number, interval), monotonic.
  std::deque<std::pair<std::size_t, Nanoseconds>> minima_, maxima_;
  std::size_t sequence_ = 0;  // intervals seen in total
  std::size_t messages_ = 0;
  Nanoseconds largestGap_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

/// The one-line text --rate prints, e.g. "59.98 Hz over 100 intervals: min 16.52 ms, max 17.01 ms,
/// std dev 0.10 ms, largest gap 17.01 ms, 101 messages"; "N messages, no interval yet" before
/// the second message. No trailing newline.
std::string formatRate(const RateSummary& summary);

}  // namespace strandel_cli
