#pragma once

// A small HTTP server on 127.0.0.1 that answers exactly what a test scripts and records what it
// received. It binds port 0 (the kernel picks a free port), serves each connection on its own
// thread, and stops in its destructor. Thread-safe: tests script and inspect it while it serves.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace strandel::testing_util {

/// One request as the peer read it.
struct RecordedRequest {
  std::string method;
  std::string target;
  /// Header lines in the order received, name and value split at the first colon (value without
  /// leading spaces).
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  /// Value of the first header whose name matches case-insensitively, if any.
  std::optional<std::string> header(std::string_view name) const;
};

/// What the peer does with one request.
struct ScriptedAnswer {
  enum class Action {
    Respond,             // write the answer built below (or `raw`), then close
    CloseWithoutAnswer,  // read the request, close the connection without writing anything
    Stall,               // read the request and never answer (until the client gives up)
    ResetAfter,  // write the first `reset_after` bytes of the answer, then reset the connection
    ResetWhileReceiving,  // read the head and at least `reset_after` body bytes (after a 100
                          // Continue when asked for one), then reset the connection while the
                          // client is still sending its body
  };

  /// What becomes of the connection after a Respond answer.
  enum class Ending {
    Close,          // "Connection: close" in the answer; the peer closes once the client has
    KeepAlive,      // no "Connection: close"; the next request is read on the same connection
    CloseQuietly,   // no "Connection: close", yet the peer closes right after the answer
    ResetWhenIdle,  // no "Connection: close"; the peer resets the connection `idle_reset` later
  };

  int status = 200;
  std::string reason = "OK";
  /// Header lines written verbatim (without CRLF), after the status line.
  std::vector<std::string> header_lines;
  std::string body;
  /// Adds "Content-Length: <body size>" after the scripted header lines.
  bool content_length = true;
  /// When set, written instead of the built answer (status line, headers and body alike).
  std::optional<std::string> raw;
  /// Waited before answering.
  std::chrono::milliseconds delay{0};
  Action action = Action::Respond;
  std::size_t reset_after = 0;
  Ending ending = Ending::Close;
  std::chrono::milliseconds idle_reset{50};

  static ScriptedAnswer status_only(int status, std::string body = {});
  static ScriptedAnswer json(int status, std::string body);
};

/// A connection hijacked by a test: the raw socket after the request was read.
using ConnectionHandler = std::function<void(int fd, const RecordedRequest& request)>;

class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t port() const { return port_; }
  /// "http://127.0.0.1:PORT/".
  std::string baseUrl() const;
  /// "ws://127.0.0.1:PORT/".
  std::string wsBaseUrl() const;

  /// Queues answers, used in order, one per request. When the queue is empty the default answer
  /// (200 with an empty body unless changed) is used.
  void enqueue(ScriptedAnswer answer);
  void enqueue(std::vector<ScriptedAnswer> answers);
  void setDefault(ScriptedAnswer answer);

  /// Hands every following connection to `handler` once its request has been read, instead of
  /// answering from the script. The handler owns the socket until it returns; the peer closes it.
  void setConnectionHandler(ConnectionHandler handler);

  /// Requests received so far, in order of arrival.
  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  /// Connections accepted so far.
  std::size_t acceptCount() const;
  /// Waits until at least `n` requests arrived or the timeout passed; returns whether they did.
  bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;

  /// True once the peer is stopping; handlers poll it to leave their loops.
  bool stopping() const;

 private:
  void acceptLoop();
  void serve(int fd);
  ScriptedAnswer nextAnswer();

  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::deque<ScriptedAnswer> queue_;
  ScriptedAnswer default_;
  ConnectionHandler handler_;
  std::vector<RecordedRequest> requests_;
  std::vector<std::thread> connections_;
  std::size_t accepted_ = 0;
  bool stopping_ = false;
  std::thread acceptor_;
};

/// A port on 127.0.0.1 that nothing listens on (bound, read back, closed), for refused connections.
std::uint16_t unusedPort();

/// Writes all bytes to a socket; false when the peer went away.
bool writeAll(int fd, std::string_view bytes);

/// Waits until `fd` is readable or `timeout` passed; true when readable (or closed by the peer).
bool waitReadable(int fd, std::chrono::milliseconds timeout);

}  // namespace strandel::testing_util
