#include "view_joint_feed.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <list>
#include <optional>
#include <set>

#include "command.hpp"
#include "interrupt.hpp"
#include "rate_stats.hpp"
#include "stream_command.hpp"
#include "view_json.hpp"

namespace strandel_cli {
namespace {

using Clock = std::chrono::steady_clock;
using strandel::json;

constexpr auto kFlushInterval = std::chrono::milliseconds(100);
constexpr auto kStateInterval = std::chrono::seconds(1);
/// A stream without a message for this long is reported silent (and reopened by its idle
/// time-out).
constexpr auto kSilence = std::chrono::seconds(2);
/// How soon a stream that could not be opened is tried again: the bridge away, or refusing it.
constexpr auto kRetryUnreachable = std::chrono::seconds(1);
constexpr auto kRetryRefused = std::chrono::seconds(2);
constexpr auto kDiscoverEvery = std::chrono::seconds(2);
/// Messages read from one stream per wake-up, so that one flooding stream cannot starve others.
constexpr int kMessagesPerWake = 64;

constexpr char kJointPositions[] = "stream_joint_positions";
constexpr char kArticulationState[] = "stream_articulation_state";

/// One stream the view follows.
struct Watched {
  StreamPath path;
  std::string key;  // articulations/ID/KIND
  std::optional<strandel::WebSocketStream> stream;
  std::vector<std::string> names;
  RateStats stats;
  std::size_t earlier_reconnects = 0;  // of streams replaced since
  bool received = false;
  Clock::time_point last_message{};
  std::string state = "connecting";
  std::string detail;
  Clock::time_point next_open{};
  json pending = json::array();
  json sim_time;

  Watched(StreamPath p, std::size_t window) : path(std::move(p)), stats(window) {
    key = "articulations/" + path.articulation_id + "/" +
          (path.kind == StreamPath::Kind::JointPositions ? kJointPositions : kArticulationState);
  }
};

double millisecondsSince(Clock::time_point origin, Clock::time_point now) {
  return std::chrono::duration<double, std::milli>(now - origin).count();
}

/// The strings of `value` when it is an array of strings; empty otherwise.
std::vector<std::string> stringsOf(const json& value) {
  std::vector<std::string> strings;
  if (!value.is_array()) return strings;
  for (const json& item : value) {
    if (!item.is_string()) return {};
    strings.push_back(item.get<std::string>());
  }
  return strings;
}

class JointLoop {
 public:
  JointLoop(strandel::IsaacSimClient& client, const JointFeedSettings& settings,
            const JointFeed::SamplesSink& samples, const JointFeed::StateSink& states,
            ViewStopSignal& stop)
      : client_(client), settings_(settings), samples_(samples), states_(states), stop_(stop) {
    for (const std::string& path : settings.paths)
      watched_.emplace_back(*parseStreamPath(path), settings.rate_window);
  }

  ~JointLoop() {
    for (Watched& w : watched_)
      if (w.stream) w.stream->close();
  }

  void run() {
    const bool discovering = settings_.paths.empty();
    Clock::time_point next_flush = Clock::now() + kFlushInterval;
    Clock::time_point next_state = Clock::now();
    Clock::time_point next_discovery = Clock::now();
    while (!stop_.requested()) {
      Clock::time_point now = Clock::now();
      if (discovering && now >= next_discovery) {
        discover();
        next_discovery = now + kDiscoverEvery;
      }
      std::vector<strandel::WebSocketStream*> open;
      std::vector<Watched*> owners;
      for (Watched& w : watched_) {
        if (!w.stream && now >= w.next_open) openStream(w);
        if (w.stream) {
          open.push_back(&*w.stream);
          owners.push_back(&w);
        }
      }
      now = Clock::now();
      const auto until = std::min(next_flush, next_state);
      if (open.empty()) {
        stop_.waitUntil(std::min(until, now + kFlushInterval));
      } else {
        const auto wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(until - now),
                                     std::chrono::milliseconds(0), std::chrono::milliseconds(100));
        for (const std::size_t ready : strandel::waitForAny(open, wait)) drain(*owners[ready]);
      }
      now = Clock::now();
      if (now >= next_flush) {
        flush(now);
        next_flush = now + kFlushInterval;
      }
      if (now >= next_state) {
        publishState(now);
        next_state = now + kStateInterval;
      }
    }
  }

 private:
  /// Follows the joint-position stream of every articulation listed at the bridge's root, and
  /// drops those no longer listed.
  void discover() {
    try {
      const strandel::HttpResponse response = client_.get("");
      const json root = json::parse(response.body, nullptr, false);
      if (response.status < 200 || response.status > 299 || !root.is_object() ||
          !root.contains("articulations")) {
        discovery_error_ = "the bridge's root lists no articulations";
        return;
      }
      discovery_error_.clear();
      const std::vector<std::string> ids = stringsOf(root.at("articulations"));
      const std::set<std::string> listed(ids.begin(), ids.end());
      watched_.remove_if([&](Watched& w) {
        if (listed.count(w.path.articulation_id)) return false;
        if (w.stream) w.stream->close();
        return true;
      });
      for (const std::string& id : ids) {
        const bool known = std::any_of(watched_.begin(), watched_.end(), [&](const Watched& w) {
          return w.path.articulation_id == id;
        });
        if (!known)
          watched_.emplace_back(StreamPath{id, StreamPath::Kind::JointPositions},
                                settings_.rate_window);
      }
    } catch (const Interrupted&) {
      throw;
    } catch (const std::exception& e) {
      discovery_error_ = e.what();
    }
  }

  void openStream(Watched& w) {
    strandel::StreamOptions options;
    options.reconnect = true;
    options.reconnect_after_close = true;  // a restarted bridge closes first; a 404 ends it
    options.idle_timeout = kSilence;
    try {
      const std::string& id = w.path.articulation_id;
      w.stream = w.path.kind == StreamPath::Kind::JointPositions
                     ? client_.openJointPositionStream(id, options)
                     : client_.openArticulationStateStream(id, options);
      w.state = "open";
      w.detail.clear();
      w.names = jointNames(id);
    } catch (const Interrupted&) {
      throw;
    } catch (const strandel::HandshakeError& e) {
      const bool refused = e.statusCode() != 0;
      w.state = refused ? "refused" : "unreachable";
      w.detail = std::string(e.what()) +
                 (refused ? " (status " + std::to_string(e.statusCode()) + ")" : "");
      w.next_open = Clock::now() + (refused ? kRetryRefused : kRetryUnreachable);
    } catch (const std::exception& e) {
      w.state = "error";
      w.detail = e.what();
      w.next_open = Clock::now() + kRetryRefused;
    }
  }

  /// The joint names the bridge reports for the articulation (joints_state's joint_names); empty
  /// when it does not say.
  std::vector<std::string> jointNames(const std::string& id) {
    try {
      return stringsOf(client_.articulations.getJointsState(id).value("joint_names", json()));
    } catch (const Interrupted&) {
      throw;
    } catch (const std::exception&) {
      return {};
    }
  }

  void drain(Watched& w) {
    try {
      for (int n = 0; n < kMessagesPerWake; ++n) {
        std::optional<std::string> message = w.stream->receive();
        if (!message) break;
        take(w, *message);
      }
    } catch (const Interrupted&) {
      throw;
    } catch (const strandel::HandshakeError& e) {
      // A reopen refused with 4xx: the articulation is gone. Tried again later from scratch.
      w.earlier_reconnects += w.stream->reconnects();
      w.stream->close();
      w.stream.reset();
      w.state = "refused";
      w.detail = std::string(e.what()) + " (status " + std::to_string(e.statusCode()) + ")";
      w.next_open = Clock::now() + kRetryRefused;
    } catch (const std::exception& e) {
      w.detail = e.what();  // e.g. a message over the size cap: the stream goes on
    }
  }

  void take(Watched& w, const std::string& message) {
    const Clock::time_point now = Clock::now();
    w.stats.add(now);
    w.received = true;
    w.last_message = now;
    w.state = "open";
    const json parsed = json::parse(message, nullptr, false);
    if (!parsed.is_object()) return;
    if (parsed.contains("joint_names")) {
      std::vector<std::string> names = stringsOf(parsed.at("joint_names"));
      if (!names.empty()) w.names = std::move(names);
    }
    if (parsed.contains("sim_time") && parsed.at("sim_time").is_number())
      w.sim_time = parsed.at("sim_time");
    const auto found = parsed.find("joint_positions");
    if (found == parsed.end() || !found->is_array()) return;
    json sample = json::array({millisecondsSince(settings_.origin, now)});
    for (const json& q : *found)
      sample.push_back(q.is_number() ? q : json());  // null for anything but a number
    w.pending.push_back(std::move(sample));
  }

  void flush(Clock::time_point now) {
    for (Watched& w : watched_) {
      if (w.pending.empty()) continue;
      std::vector<std::string> names = w.names;
      const std::size_t joints = w.pending.back().size() - 1;
      for (std::size_t i = names.size(); i < joints; ++i)
        names.push_back("joint " + std::to_string(i));
      names.resize(joints);
      samples_(viewJson({{"type", "joints"},
                         {"stream", w.key},
                         {"articulation", w.path.articulation_id},
                         {"names", names},
                         {"sim_time", w.sim_time},
                         {"now", millisecondsSince(settings_.origin, now)},
                         {"samples", std::move(w.pending)}}));
      w.pending = json::array();
    }
  }

  void publishState(Clock::time_point now) {
    json streams = json::array();
    std::string overall = watched_.empty() ? "waiting" : "live";
    std::string detail;
    const auto worse = [&](const std::string& state, const std::string& why) {
      static const std::vector<std::string> order = {"live",  "connecting", "waiting",
                                                     "error", "refused",    "unreachable"};
      const auto rank = [&](const std::string& s) {
        return std::find(order.begin(), order.end(), s) - order.begin();
      };
      if (rank(state) > rank(overall)) {
        overall = state;
        detail = why;
      }
    };
    if (watched_.empty()) {
      detail = settings_.paths.empty()
                   ? "no articulation at the bridge yet: create one, or pass --stream PATH"
                   : "";
    }
    if (!discovery_error_.empty()) worse("unreachable", discovery_error_);
    for (Watched& w : watched_) {
      std::string state = w.state;
      std::string why = w.detail;
      if (w.stream) {
        const bool silent = !w.received || now - w.last_message > kSilence;
        state = silent ? "silent" : "live";
        if (silent) {
          why = w.received ? "no message for " +
                                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                    now - w.last_message)
                                                    .count()) +
                                 " s"
                           : "no message yet";
        }
      }
      worse(state == "silent" && w.received ? "unreachable"
            : state == "silent"             ? "waiting"
                                            : state,
            w.key + ": " + why);
      const RateSummary rate = w.stats.summary();
      streams.push_back(
          {{"stream", w.key},
           {"articulation", w.path.articulation_id},
           {"state", state},
           {"detail", why},
           {"joints", w.names},
           {"reconnects", w.earlier_reconnects + (w.stream ? w.stream->reconnects() : 0)},
           {"messages", rate.messages},
           {"average_hz", rate.average_hz},
           {"min_interval_s", rate.min_interval_s},
           {"max_interval_s", rate.max_interval_s},
           {"stddev_interval_s", rate.stddev_interval_s},
           {"largest_gap_s", rate.largest_gap_s},
           {"rate", formatRate(rate)}});
    }
    states_(viewJson({{"type", "streams"},
                      {"state", overall},
                      {"detail", detail},
                      {"now", millisecondsSince(settings_.origin, now)},
                      {"streams", std::move(streams)}}));
  }

  strandel::IsaacSimClient& client_;
  const JointFeedSettings& settings_;
  const JointFeed::SamplesSink& samples_;
  const JointFeed::StateSink& states_;
  ViewStopSignal& stop_;
  std::list<Watched> watched_;  // a list: elements keep their place while others come and go
  std::string discovery_error_;
};

}  // namespace

JointFeed::JointFeed(strandel::IsaacSimClient& client, JointFeedSettings settings,
                     SamplesSink samples, StateSink states)
    : client_(client),
      settings_(std::move(settings)),
      samples_(std::move(samples)),
      states_(std::move(states)) {
  for (const std::string& path : settings_.paths) {
    if (!parseStreamPath(path)) {
      throw UsageError("cannot follow the stream '" + path +
                       "': the path must be articulations/ID/" + kJointPositions +
                       " or articulations/ID/" + kArticulationState);
    }
  }
}

JointFeed::~JointFeed() { stop(); }

void JointFeed::start() {
  thread_ = std::thread([this] { run(); });
}

void JointFeed::stop() {
  stop_.request();
  if (thread_.joinable()) thread_.join();
}

void JointFeed::run() {
  while (!stop_.requested()) {
    try {
      JointLoop loop(client_, settings_, samples_, states_, stop_);
      loop.run();
    } catch (const Interrupted&) {
      return;  // SIGINT: the view is ending
    } catch (const std::exception& e) {
      // Nothing the bridge sends should get here; should anything, the streams start afresh.
      states_(viewJson({{"type", "streams"}, {"state", "error"}, {"detail", e.what()}}));
      stop_.waitUntil(Clock::now() + kRetryRefused);
    }
  }
}

}  // namespace strandel_cli
