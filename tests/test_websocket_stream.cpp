// WebSocket streams against the scripted WebSocket peer on 127.0.0.1: opening, receiving, sending,
// closing and the move-only ownership of the connection.

#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <strandel/client.hpp>
#include <strandel/websocket_stream.hpp>

#include "support/scripted_peer.hpp"
#include "support/websocket_peer.hpp"

namespace strandel {
namespace {

using namespace std::chrono_literals;
using testing::ClientFrame;
using testing::Opcode;
using testing::ScriptedAnswer;
using testing::ScriptedPeer;
using testing::serverFrame;
using testing::WebSocketPeer;
using testing::WebSocketSession;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 5s;

IsaacSimClient clientFor(const std::string& ws_base_url, std::chrono::milliseconds timeout = 5000ms) {
  return IsaacSimClient("test", "http://127.0.0.1:1/", ws_base_url, timeout, 0);
}

// Polls until a message arrives or `limit` passes.
std::optional<std::string> receiveWithin(WebSocketStream& stream, std::chrono::milliseconds limit = kWait) {
  const auto until = Clock::now() + limit;
  do {
    if (auto message = stream.receive()) return message;
    std::this_thread::sleep_for(1ms);
  } while (Clock::now() < until);
  return std::nullopt;
}

// Polls for `duration` and returns how many calls came back engaged.
int messagesDuring(WebSocketStream& stream, std::chrono::milliseconds duration) {
  int engaged = 0;
  const auto until = Clock::now() + duration;
  while (Clock::now() < until) {
    if (stream.receive()) ++engaged;
    std::this_thread::sleep_for(1ms);
  }
  return engaged;
}

// The text of the std::runtime_error that `call` throws, or "" when it returns.
template <typename Call>
std::string errorOf(Call&& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

std::string curlText(CURLcode code) { return curl_easy_strerror(code); }

// Distinct bytes, so that a lost, doubled or reordered chunk shows.
std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return bytes;
}

void expectFrame(const ClientFrame& frame, Opcode opcode, const std::string& payload) {
  EXPECT_EQ(frame.opcode, opcode);
  EXPECT_TRUE(frame.fin);
  EXPECT_TRUE(frame.masked);
  EXPECT_EQ(frame.payload, payload);
}

// Whole milliseconds, so that failed comparisons print readable numbers.
template <typename Duration>
long long millis(Duration duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

std::chrono::nanoseconds threadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// ---------------------------------------------------------------------------------------------
// Opening

TEST(WebSocketOpen, StreamEndpointsUpgradeAtTheirPathsBelowTheBaseUrl) {
  WebSocketPeer peer;
  auto client = clientFor(peer.wsBaseUrl() + "bridge");
  WebSocketStream joints = client.openJointPositionStream("robot1");
  WebSocketStream state = client.openArticulationStateStream("robot1");

  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/bridge/articulations/robot1/stream_joint_positions");
  EXPECT_EQ(requests[1].target, "/bridge/articulations/robot1/stream_articulation_state");
  EXPECT_EQ(requests[0].header("Upgrade"), std::optional<std::string>("websocket"));
  EXPECT_EQ(peer.connectionCount(), 2u);
}

TEST(WebSocketOpen, IdentifierWithSlashReachesThePathUnescaped) {
  WebSocketPeer peer;
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("arm/1");
  ASSERT_EQ(peer.requests().size(), 1u);
  EXPECT_EQ(peer.requests()[0].target, "/articulations/arm/1/stream_joint_positions");
}

TEST(WebSocketOpen, HandshakeFailuresNameTheFullUrlAndLibcurlsText) {
  ScriptedPeer plain;  // answers 200 to everything: no upgrade
  auto client = clientFor(plain.wsBaseUrl());
  EXPECT_EQ(errorOf([&] { client.openJointPositionStream("r1"); }),
            "WebSocket handshake failed for " + plain.wsBaseUrl() +
                "articulations/r1/stream_joint_positions: " + curlText(CURLE_HTTP_RETURNED_ERROR));

  const std::string refused_base = "ws://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/";
  auto refused = clientFor(refused_base);
  EXPECT_EQ(errorOf([&] { refused.openArticulationStateStream("r2"); }),
            "WebSocket handshake failed for " + refused_base +
                "articulations/r2/stream_articulation_state: " + curlText(CURLE_COULDNT_CONNECT));
}

TEST(WebSocketOpen, HandshakeIsBoundedByTheClientsTimeout) {
  ScriptedPeer stalling;
  ScriptedAnswer stall;
  stall.action = ScriptedAnswer::Action::Stall;
  stalling.setDefault(stall);
  auto client = clientFor(stalling.wsBaseUrl(), 200ms);

  const auto start = Clock::now();
  EXPECT_EQ(errorOf([&] { client.openJointPositionStream("r1"); }),
            "WebSocket handshake failed for " + stalling.wsBaseUrl() +
                "articulations/r1/stream_joint_positions: " + curlText(CURLE_OPERATION_TIMEDOUT));
  EXPECT_LT(millis(Clock::now() - start), 3000);
}

// ---------------------------------------------------------------------------------------------
// Receiving

TEST(WebSocketReceive, NothingPendingReturnsAnEmptyOptionalAtOnce) {
  WebSocketPeer peer;
  auto client = clientFor(peer.wsBaseUrl(), 10000ms);
  WebSocketStream stream = client.openJointPositionStream("r1");

  const auto start = Clock::now();
  EXPECT_EQ(stream.receive(), std::nullopt);
  EXPECT_EQ(stream.receive(), std::nullopt);
  EXPECT_LT(millis(Clock::now() - start), 2000);  // far below the 10 s time-out a blocking read would take
}

TEST(WebSocketReceive, PendingFramesComeBackWholeOnePerCall) {
  WebSocketPeer peer;
  const std::string big = patterned(10000);
  const std::string binary("\0\xff\xfe\x80 raw \xc3\x28", 11);
  peer.sendWithUpgrade(serverFrame(Opcode::Text, big) + serverFrame(Opcode::Binary, binary) +
                       serverFrame(Opcode::Text, std::string("\xc3\x28 not UTF-8", 12)) +
                       serverFrame(Opcode::Text, "") + serverFrame(Opcode::Text, "last"));
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  EXPECT_EQ(stream.receive(), big);  // assembled from chunks of at most 4096 bytes in one call
  EXPECT_EQ(stream.receive(), binary);
  EXPECT_EQ(stream.receive(), std::string("\xc3\x28 not UTF-8", 12));
  EXPECT_EQ(stream.receive(), std::optional<std::string>(""));  // engaged, empty
  EXPECT_EQ(stream.receive(), "last");
  EXPECT_EQ(stream.receive(), std::nullopt);
}

TEST(WebSocketReceive, FrameWhoseRestArrivesLaterComesBackOnceAndWhole) {
  const std::string frame = serverFrame(Opcode::Text, patterned(9000));
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (!session.write(frame.substr(0, 5000)) || !session.awaitRelease()) return;
    if (!session.write(frame.substr(5000)) || !session.awaitRelease()) return;
    // The second frame is cut inside its head, with a pause between the two writes.
    if (!session.writeSplit(serverFrame(Opcode::Text, patterned(300)), 1, 50ms)) return;
    session.recordUntilClosed();
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  const auto until = Clock::now() + kWait;
  while (peer.bytesWritten(0) < 5000 && Clock::now() < until) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(messagesDuring(stream, 100ms), 0);  // only part of the frame is there

  peer.release();
  EXPECT_EQ(receiveWithin(stream), patterned(9000));
  EXPECT_EQ(stream.receive(), std::nullopt);  // nothing doubled

  peer.release();
  EXPECT_EQ(receiveWithin(stream), patterned(300));
  EXPECT_EQ(messagesDuring(stream, 50ms), 0);
}

TEST(WebSocketReceive, ControlFramesAreSkippedAndPingsAnswered) {
  WebSocketPeer peer;
  peer.sendWithUpgrade(serverFrame(Opcode::Ping, "hi") + serverFrame(Opcode::Text, "one") +
                       serverFrame(Opcode::Pong, "p") + serverFrame(Opcode::Text, "two") +
                       serverFrame(Opcode::Close, "") + serverFrame(Opcode::Text, "three"));
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  // Each data frame waits behind a control frame and comes back from the same call.
  EXPECT_EQ(stream.receive(), "one");
  EXPECT_EQ(stream.receive(), "two");
  EXPECT_EQ(stream.receive(), "three");
  EXPECT_EQ(stream.receive(), std::nullopt);

  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Pong, "hi");  // libcurl's answer to the ping
}

TEST(WebSocketReceive, ControlFramesAloneGiveEmptyOptionals) {
  WebSocketPeer peer;
  peer.sendWithUpgrade(serverFrame(Opcode::Pong, "p") + serverFrame(Opcode::Close, "") +
                       serverFrame(Opcode::Ping, "x"));
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  EXPECT_EQ(stream.receive(), std::nullopt);
  EXPECT_EQ(messagesDuring(stream, 50ms), 0);
  stream.send("still open");  // a close frame from the peer does not close the stream
  ASSERT_TRUE(peer.waitForFrames(0, 2, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Pong, "x");
  expectFrame(peer.frames(0)[1], Opcode::Text, "still open");
}

TEST(WebSocketReceive, FragmentsOfAMessageComeBackAsSeparateResults) {
  WebSocketPeer peer;
  peer.sendWithUpgrade(serverFrame(Opcode::Text, "Hel", false) +
                       serverFrame(Opcode::Continuation, "lo", true));
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  EXPECT_EQ(stream.receive(), "Hel");
  EXPECT_EQ(stream.receive(), "lo");
  EXPECT_EQ(stream.receive(), std::nullopt);
}

TEST(WebSocketReceive, FailsWithLibcurlsTextOnceThePeerIsGone) {
  WebSocketPeer peer([](WebSocketSession&) {});  // drops the connection after the upgrade
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");
  ASSERT_TRUE(peer.waitForDisconnect(0, kWait));

  std::string error;
  const auto until = Clock::now() + kWait;
  while (error.empty() && Clock::now() < until) error = errorOf([&] { stream.receive(); });
  EXPECT_EQ(error, "WebSocket receive failed: " + curlText(CURLE_GOT_NOTHING));

  error.clear();
  while (error.empty() && Clock::now() < until) error = errorOf([&] { stream.send("x"); });
  EXPECT_EQ(error, "WebSocket send failed: " + curlText(CURLE_SEND_ERROR));

  // Failures leave the stream open; closing it afterwards is quiet and closes it.
  stream.close();
  EXPECT_EQ(errorOf([&] { stream.send("x"); }), "send() called on a closed WebSocketStream");
}

// A peer that sends faster than the stream is read: libcurl on its own would stay inside one
// receive call and queue without bound.
TEST(WebSocketReceive, FloodingPeerKeepsEveryCallShortAndNothingPilesUp) {
  constexpr std::size_t kPayload = 200;
  constexpr std::size_t kFrameBytes = kPayload + 4;  // two head bytes and a 16-bit length
  // Payload n: n in 20 decimal digits, then dots.
  const auto writeDigits = [](std::uint64_t n, char* out) {
    for (int i = 19; i >= 0; --i, n /= 10) out[i] = static_cast<char>('0' + n % 10);
  };
  const auto numbered = [&](std::uint64_t n) {
    std::string payload(kPayload, '.');
    writeDigits(n, payload.data());
    return payload;
  };
  WebSocketPeer peer([&](WebSocketSession& session) {
    // A fixed send buffer (the kernel doubles it) keeps what the peer's side may hold known.
    const int send_buffer = 1 << 20;
    ::setsockopt(session.fd(), SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    constexpr std::size_t kFramesPerBlock = 256;
    std::string block;
    for (std::size_t i = 0; i < kFramesPerBlock; ++i) block += serverFrame(Opcode::Text, numbered(0));
    const auto until = Clock::now() + 6s;  // a bound, should the client never return
    for (std::uint64_t first = 0; Clock::now() < until; first += kFramesPerBlock) {
      for (std::size_t i = 0; i < kFramesPerBlock; ++i) writeDigits(first + i, &block[i * kFrameBytes + 4]);
      if (!session.write(block)) return;
    }
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  std::uint64_t received = 0;
  Clock::duration longest{};
  bool in_order = true;
  const auto until = Clock::now() + 1500ms;
  while (Clock::now() < until) {
    const auto start = Clock::now();
    const auto message = stream.receive();
    longest = std::max(longest, Clock::now() - start);
    if (!message) continue;
    if (in_order && *message != numbered(received)) {
      ADD_FAILURE() << "message " << received << " arrived as " << message->substr(0, 20);
      in_order = false;
    }
    ++received;
  }
  const std::uint64_t held = peer.bytesWritten(0) - received * kFrameBytes;

  EXPECT_GT(received, 1000u);
  EXPECT_LT(millis(longest), 500);  // without the bound, calls grow with the flood's length
  // Everything written but not yet returned sits in the two kernel buffers (2 MiB on the peer's
  // side) and at most one libcurl read; libcurl on its own would queue without bound.
  EXPECT_LT(held, 8u << 20);
}

// ---------------------------------------------------------------------------------------------
// Sending

TEST(WebSocketSend, MessagesArriveAsSingleTextFramesUnchanged) {
  WebSocketPeer peer;
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");
  const std::string bytes("a\0b\xff", 4);
  const std::string large = patterned(3 << 20);

  stream.send("hello");
  stream.send("");
  stream.send(bytes);
  stream.send(large);

  ASSERT_TRUE(peer.waitForFrames(0, 4, kWait));
  const auto frames = peer.frames(0);
  ASSERT_EQ(frames.size(), 4u);
  expectFrame(frames[0], Opcode::Text, "hello");
  expectFrame(frames[1], Opcode::Text, "");  // one empty text frame
  expectFrame(frames[2], Opcode::Text, bytes);
  expectFrame(frames[3], Opcode::Text, large);
}

TEST(WebSocketSend, PeerThatStopsReadingEndsTheSendNearTheTimeoutWithoutSpinning) {
  WebSocketPeer peer([](WebSocketSession& session) { session.holdWithoutReading(); });
  auto client = clientFor(peer.wsBaseUrl(), 1000ms);
  auto stream = std::make_unique<WebSocketStream>(client.openJointPositionStream("r1"));
  const std::string message(16 << 20, 'x');

  const auto wall_start = Clock::now();
  const auto cpu_start = threadCpuTime();
  EXPECT_EQ(errorOf([&] { stream->send(message); }), "WebSocket send timed out after 1000 ms");
  const auto cpu = threadCpuTime() - cpu_start;
  const auto wall = Clock::now() - wall_start;

  EXPECT_GE(millis(wall), 950);
  EXPECT_LT(millis(wall), 4000);
  // It waited for the socket instead of retrying at once. The CPU time it did use is libcurl's
  // framing of the megabytes that the kernel buffers took before the peer's window closed.
  EXPECT_LT(millis(cpu * 3), millis(wall));

  const auto close_start = Clock::now();
  stream.reset();  // closing a connection with a stuck send neither throws nor blocks
  EXPECT_LT(millis(Clock::now() - close_start), 2000);
}

TEST(WebSocketSend, StreamWorksLongAfterTheTimeoutPassed) {
  WebSocketPeer peer([](WebSocketSession& session) {
    if (session.awaitRelease() && session.write(serverFrame(Opcode::Text, "reply"))) {
      session.recordUntilClosed();
    }
  });
  auto client = clientFor(peer.wsBaseUrl(), 100ms);
  WebSocketStream stream = client.openJointPositionStream("r1");

  std::this_thread::sleep_for(350ms);  // more than three times the time-out
  stream.send("late");
  peer.release();
  EXPECT_EQ(receiveWithin(stream), "reply");
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Text, "late");
}

// ---------------------------------------------------------------------------------------------
// Closing and ownership

TEST(WebSocketLifecycle, CloseSendsOneCloseFrameAndLeavesTheStreamClosed) {
  WebSocketPeer peer;
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  stream.close();
  stream.close();
  EXPECT_EQ(errorOf([&] { stream.send("x"); }), "send() called on a closed WebSocketStream");
  EXPECT_EQ(errorOf([&] { stream.receive(); }), "receive() called on a closed WebSocketStream");

  ASSERT_TRUE(peer.waitForDisconnect(0, kWait));
  const auto frames = peer.frames(0);
  ASSERT_EQ(frames.size(), 1u);
  expectFrame(frames[0], Opcode::Close, "");  // no status code
}

TEST(WebSocketLifecycle, DestructorClosesTheConnection) {
  WebSocketPeer peer;
  auto client = clientFor(peer.wsBaseUrl());
  { WebSocketStream stream = client.openJointPositionStream("r1"); }
  ASSERT_TRUE(peer.waitForDisconnect(0, kWait));
  ASSERT_EQ(peer.frames(0).size(), 1u);
  expectFrame(peer.frames(0)[0], Opcode::Close, "");
}

TEST(WebSocketLifecycle, MovedFromStreamIsClosedAndSendsNoCloseFrame) {
  WebSocketPeer peer;
  auto client = clientFor(peer.wsBaseUrl());
  auto source = std::make_unique<WebSocketStream>(client.openJointPositionStream("r1"));
  WebSocketStream target(std::move(*source));

  EXPECT_EQ(errorOf([&] { source->send("x"); }), "send() called on a closed WebSocketStream");
  EXPECT_EQ(errorOf([&] { source->receive(); }), "receive() called on a closed WebSocketStream");
  source.reset();

  target.send("marker");  // anything the moved-from stream sent would have arrived first
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Text, "marker");
}

TEST(WebSocketLifecycle, SelfMoveAssignmentChangesNothing) {
  WebSocketPeer peer;
  peer.sendWithUpgrade(serverFrame(Opcode::Text, "pending"));
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  WebSocketStream& alias = stream;
  stream = std::move(alias);

  stream.send("marker");
  EXPECT_EQ(stream.receive(), "pending");
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Text, "marker");
}

TEST(WebSocketLifecycle, MoveAssignmentClosesTheTargetFirstAndCarriesAPartialFrame) {
  const std::string frame = serverFrame(Opcode::Text, patterned(6000));
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (session.request().target.find("second") != std::string::npos) {
      if (!session.write(frame.substr(0, 3000)) || !session.awaitRelease()) return;
      if (!session.write(frame.substr(3000))) return;
    }
    session.recordUntilClosed();
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream target = client.openJointPositionStream("first");
  WebSocketStream source = client.openJointPositionStream("second");

  const auto until = Clock::now() + kWait;
  while (peer.bytesWritten(1) < 3000 && Clock::now() < until) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(messagesDuring(source, 50ms), 0);  // the first half now waits in the source

  target = std::move(source);
  ASSERT_TRUE(peer.waitForDisconnect(0, kWait));
  ASSERT_EQ(peer.frames(0).size(), 1u);
  expectFrame(peer.frames(0)[0], Opcode::Close, "");
  EXPECT_EQ(errorOf([&] { source.send("x"); }), "send() called on a closed WebSocketStream");

  peer.release();
  EXPECT_EQ(receiveWithin(target), patterned(6000));
  target.send("to second");
  ASSERT_TRUE(peer.waitForFrames(1, 1, kWait));
  expectFrame(peer.frames(1)[0], Opcode::Text, "to second");
}

TEST(WebSocketLifecycle, StreamOutlivesTheClientThatOpenedIt) {
  WebSocketPeer peer([](WebSocketSession& session) {
    if (session.awaitRelease() && session.write(serverFrame(Opcode::Text, "after"))) {
      session.recordUntilClosed();
    }
  });
  auto client = std::make_unique<IsaacSimClient>("test", "http://127.0.0.1:1/", peer.wsBaseUrl(),
                                                 5000ms, 0);
  WebSocketStream stream = client->openArticulationStateStream("r1");
  client.reset();

  stream.send("orphan");
  peer.release();
  EXPECT_EQ(receiveWithin(stream), "after");
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Text, "orphan");
}

}  // namespace
}  // namespace strandel
