#pragma once

// The web side of `strandel view`: one HTTP/1.1 server (Boost.Beast) on one thread that serves
// the page, Chart.js, the latest pictures as JPEG files, and a WebSocket (/live) that pushes every
// new picture and state to each open tab.
//
// Memory is bounded whatever the viewers do: the server keeps only the latest picture of each
// kind, the latest message of each state and the joint samples of the last `history` (replayed to
// a new viewer as one message per stream); a viewer that reads slowly skips pictures (at most one
// waits per kind) and is dropped once kMaxQueuedTexts text messages wait for it. Requests are
// read with an 8 KiB header limit and a 4 KiB body limit; at most kMaxConnections connections are
// open at once (others are closed as they come). A connection that breaks off, sends garbage or
// does not send a whole request within 5 s (an idle kept-alive one too) is closed and affects no
// other.
//
// Only requests for the server's own address are answered: the Host header must name localhost,
// 127.0.0.1, [::1], the listening address or the address the client reached, with the server's
// port; any other gets 403 before it is routed (another name resolving here, as in DNS
// rebinding). A WebSocket upgrade that carries an Origin must come from the server's own page,
// http://HOST:PORT with such a host, or gets 403; one without Origin is not from a browser
// (browsers always send it) and is accepted. Answers carry Cross-Origin-Resource-Policy:
// same-origin, so other sites' pages cannot show the pictures either.
//
// Pictures are asked for only while someone looks (settings.on_demand): while a viewer can take
// a new picture at once, or a fetch of frame/KIND.jpg came within the last 2 s. A fetch made
// while pictures were not being taken waits (at most 5 s) for the next picture of its kind.
//
// Thread-safety: publish*() and stop() may be called from any thread at any time; run() from one
// thread. Everything else runs on the thread inside run().

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

namespace strandel_cli {

/// One picture of a camera frame, encoded once for every viewer.
struct ViewPicture {
  /// "rgb" or "depth": the page element it is shown in and its name under /frame/.
  std::string kind;
  /// The picture's facts as one compact JSON object (its kind, sequence number, size, the frame's
  /// sim_time and capture time ...), sent with it.
  std::string meta;
  /// The WebSocket message: the length of `meta` (4 bytes, little-endian), `meta`, the JPEG bytes.
  std::string message;
  /// Where the JPEG bytes start in `message`.
  std::size_t jpeg_offset = 0;
};

/// The picture of `kind` with `meta` and `jpeg`, its message laid out once.
std::shared_ptr<const ViewPicture> makeViewPicture(std::string kind, std::string meta,
                                                   const std::string& jpeg);

/// How the server listens and what it serves besides what is published into it.
struct ViewServerSettings {
  /// An IPv4 or IPv6 address literal, or "localhost" (127.0.0.1); no name is looked up.
  std::string host = "127.0.0.1";
  /// 0 lets the system choose a free port.
  std::uint16_t port = 0;
  /// The Chart.js script served at /chart.js; empty: /chart.js answers 404 and the page lists
  /// the joint values without plots.
  std::string chart_js;
  /// The first text message every viewer receives (compact JSON).
  std::string hello;
  /// How long published samples are replayed to a viewer that connects later.
  std::chrono::milliseconds history{10000};
  /// Told, on the server's thread, whenever whether pictures are wanted changes: true while a
  /// viewer that takes pictures has none waiting or being sent (and, when it reports what it
  /// has shown, at most ViewServer::kMaxUnshownPictures sent and not shown), or a fetch of
  /// frame/KIND.jpg came within the last 2 s; false otherwise. Nothing is wanted at first.
  std::function<void(bool)> on_demand;
};

struct ViewServerCore;

class ViewServer {
 public:
  /// Most connections (page loads and WebSockets) open at once.
  static constexpr std::size_t kMaxConnections = 64;
  /// Text messages that may wait for one viewer before it is dropped.
  static constexpr std::size_t kMaxQueuedTexts = 256;
  /// Pictures a viewer that reports what it has shown (/live?acks=1: one message of any content
  /// per picture shown or skipped) may have been sent and not shown while new ones are still
  /// taken for it: one frame (rgb and depth) on the page while the next is made.
  static constexpr std::size_t kMaxUnshownPictures = 2;

  /// Binds and listens at once; throws std::runtime_error "cannot listen on HOST:PORT: REASON"
  /// when the host is neither an address literal nor "localhost", or the address cannot be bound.
  /// Serves nothing until run().
  explicit ViewServer(ViewServerSettings settings);
  /// Stops serving (as stop()) and releases every connection.
  ~ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  /// The bound port (the system's choice for port 0).
  std::uint16_t port() const;
  /// "http://HOST:PORT/", an IPv6 host in brackets.
  std::string url() const;

  /// Makes `picture` the latest of its kind and sends it to every viewer. Thread-safe.
  void publishPicture(std::shared_ptr<const ViewPicture> picture);
  /// Makes `message` (compact JSON) the latest state under `key`, replayed to viewers that
  /// connect later, and sends it to every viewer. Thread-safe.
  void publishState(std::string key, std::string message);
  /// Sends `message` (compact JSON) to every viewer and keeps it for `history` to replay to
  /// viewers that connect later. Thread-safe.
  void publishSamples(std::string message);

  /// Serves on the calling thread until stop(), SIGTERM, or `stop_requested` returning true
  /// (asked every 100 ms); then closes every connection and returns. Whether SIGTERM ended it
  /// is terminated().
  void run(const std::function<bool()>& stop_requested);
  /// Whether run() ended on SIGTERM.
  bool terminated() const;
  /// Ends run() soon; thread-safe, and safe to call more than once.
  void stop();

 private:
  boost::asio::io_context ioc_{1};
  std::shared_ptr<ViewServerCore> core_;
};

}  // namespace strandel_cli
