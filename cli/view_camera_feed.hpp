#pragma once

// The camera side of `strandel view`: one thread captures rgb and depth from one camera at a
// steady rate, a second encodes each frame's two pictures once (JPEG; depth in false colour) and
// hands them on, so that a capture runs while the frame before it is encoded. Between them waits
// at most one frame: a frame the encoder has not taken when the next is captured is dropped. The
// feed reports the camera's state: live, or why not (no camera yet, the bridge unreachable, a
// refusal, a frame that holds no picture). It keeps trying at least once a second whatever fails,
// so the pictures come back by themselves when the bridge does. It does all this only while
// pictures are wanted (setWanted), and asks the bridge nothing otherwise.
//
// Thread-safety: start(), stop() and the destructor are called from one thread; setWanted() from
// any thread; the sinks are called on the feed's threads, one call at a time.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <strandel/isaacsim_client.hpp>

#include "view_server.hpp"
#include "view_stop_signal.hpp"

namespace strandel_cli {

struct CameraFeedSettings {
  /// The camera to capture; empty: the first camera the bridge lists at its root ("cameras" of
  /// GET /), looked for again while there is none.
  std::string camera_id;
  /// Frames per second; 0: the camera's own rate ("frequency" of GET cameras/ID), or 10 when the
  /// bridge does not say. Either is held between 0.1 and 60.
  double fps = 0.0;
  /// JPEG quality, 1..100.
  int jpeg_quality = 80;
};

class CameraFeed {
 public:
  /// Receives each encoded picture, rgb first, then depth.
  using PictureSink = std::function<void(std::shared_ptr<const ViewPicture>)>;
  /// Receives the camera's state as compact JSON, {"type":"camera","state":...}: at once when it
  /// changes, else once a second with the rates measured.
  using StateSink = std::function<void(std::string)>;

  /// `client` must outlive the feed; its interrupt check ends a pending capture when the view
  /// stops on SIGINT. Starts nothing.
  CameraFeed(strandel::IsaacSimClient& client, CameraFeedSettings settings, PictureSink pictures,
             StateSink states);
  /// Stops and joins the threads.
  ~CameraFeed();
  CameraFeed(const CameraFeed&) = delete;
  CameraFeed& operator=(const CameraFeed&) = delete;

  /// Starts capturing and encoding, each on a thread of its own.
  void start();
  /// Asks the threads to end and waits for them: at once between captures, within the client's
  /// time-out during one (at once when the client's interrupt check throws).
  void stop();
  /// Whether pictures are wanted (false at first): while not, no capture is started. Thread-safe.
  void setWanted(bool wanted);

 private:
  struct Pipeline;
  void captureLoop();
  void encodeLoop();

  strandel::IsaacSimClient& client_;
  CameraFeedSettings settings_;
  PictureSink pictures_;
  StateSink states_;
  ViewStopSignal stop_;
  std::unique_ptr<Pipeline> pipeline_;
  std::thread capturer_;
  std::thread encoder_;
};

}  // namespace strandel_cli
