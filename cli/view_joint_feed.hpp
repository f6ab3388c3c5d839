#pragma once

// The joint side of `strandel view`: a thread that follows articulation streams (reconnecting
// ones: a bridge that goes away and comes back is followed again by itself), hands on their joint
// positions in batches ten times a second, and once a second the state of every stream with its
// rate statistics (RateStats).
//
// Thread-safety: start(), stop() and the destructor are called from one thread; the sinks are
// called on the feed's own thread.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <strandel/isaacsim_client.hpp>

#include "view_stop_signal.hpp"

namespace strandel_cli {

struct JointFeedSettings {
  /// Stream paths as `strandel stream` takes them (articulations/ID/stream_joint_positions or
  /// articulations/ID/stream_articulation_state); empty: the joint-position stream of every
  /// articulation the bridge lists at its root ("articulations" of GET /), followed as that list
  /// changes.
  std::vector<std::string> paths;
  /// Sample times are milliseconds since this moment.
  std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
  /// Intervals each stream's rate statistics span.
  std::size_t rate_window = 300;
};

class JointFeed {
 public:
  /// Receives one stream's new samples as compact JSON, {"type":"joints","stream":PATH,
  /// "names":[...],"samples":[[MS,q0,q1,...],...],...}; MS is milliseconds since the origin, a
  /// position the bridge sent as null is null.
  using SamplesSink = std::function<void(std::string)>;
  /// Receives the state of all streams as compact JSON, {"type":"streams","state":...,
  /// "streams":[...]}, once a second.
  using StateSink = std::function<void(std::string)>;

  /// `client` must outlive the feed; its interrupt check ends a pending handshake when the view
  /// stops on SIGINT. Throws UsageError for a path that is not a stream path. Starts nothing.
  JointFeed(strandel::IsaacSimClient& client, JointFeedSettings settings, SamplesSink samples,
            StateSink states);
  /// Stops and joins the thread.
  ~JointFeed();
  JointFeed(const JointFeed&) = delete;
  JointFeed& operator=(const JointFeed&) = delete;

  /// Starts following on a thread of its own.
  void start();
  /// Asks the thread to end and waits for it (within about 100 ms, or the client's time-out
  /// while a stream is being opened), closing every stream.
  void stop();

 private:
  void run();

  strandel::IsaacSimClient& client_;
  JointFeedSettings settings_;
  SamplesSink samples_;
  StateSink states_;
  ViewStopSignal stop_;
  std::thread thread_;
};

}  // namespace strandel_cli
