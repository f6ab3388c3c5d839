#include "reconnection.hpp"

#include <algorithm>
#include <utility>

namespace strandel::detail {
namespace {

using Clock = Reconnection::Clock;

// now + delay, saturated at the clock's end.
Clock::time_point later(Clock::time_point now, std::chrono::milliseconds delay) noexcept {
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  return delay >= room ? Clock::time_point::max() : now + delay;
}

}  // namespace

bool refusalIsFinal(long status) noexcept {
  return status >= 400 && status < 500 && status != 408 && status != 429;
}

std::string closedByTheBridge(const std::optional<int>& code, const std::string& reason) {
  std::string text = "closed by the bridge";
  if (code) text += ": " + std::to_string(*code);
  if (!reason.empty()) text += " " + reason;
  return text;
}

Reconnection::Reconnection(StreamOptions options, StreamOpener open)
    : options_(std::move(options)), open_(std::move(open)), backoff_(options_.initial_backoff) {}

std::chrono::milliseconds Reconnection::takeBackoff() noexcept {
  const auto cap = options_.max_backoff;
  const auto now = std::min(backoff_, cap);
  backoff_ = now > cap / 2 ? cap : now * 2;
  return now;
}

void Reconnection::connectionEnded(std::string reason, Clock::time_point now) {
  reason_ = std::move(reason);
  downSince_ = now;
  nextAttempt_ = delivered_ ? now : later(now, takeBackoff());
}

void Reconnection::attemptFailed(Clock::time_point now) noexcept {
  nextAttempt_ = later(now, takeBackoff());
}

ReconnectReport Reconnection::reopened(Clock::time_point now) {
  ++reconnects_;
  delivered_ = false;
  ReconnectReport report;
  report.reconnects = reconnects_;
  report.reason = reason_;
  report.downtime = std::chrono::duration_cast<std::chrono::milliseconds>(now - downSince_);
  return report;
}

void Reconnection::dataArrived() noexcept {
  if (delivered_) return;
  delivered_ = true;
  backoff_ = options_.initial_backoff;
}

}  // namespace strandel::detail
