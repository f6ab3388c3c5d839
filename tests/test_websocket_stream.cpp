// WebSocket streams against the scripted WebSocket peer on 127.0.0.1: opening, receiving, sending,
// closing, the move-only ownership of the connection, and reopening a connection that ended.

#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <strandel/client.hpp>
#include <strandel/errors.hpp>
#include <strandel/stream_options.hpp>
#include <strandel/websocket_stream.hpp>

#include "support/scripted_peer.hpp"
#include "support/test_helpers.hpp"
#include "support/websocket_peer.hpp"

namespace strandel {
namespace {

using namespace std::chrono_literals;
using testing_util::ClientFrame;
using testing_util::Opcode;
using testing_util::reconnecting;
using testing_util::RecordedRequest;
using testing_util::ScriptedAnswer;
using testing_util::ScriptedPeer;
using testing_util::serverFrame;
using testing_util::WebSocketPeer;
using testing_util::WebSocketSession;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 5s;

IsaacSimClient clientFor(const std::string& ws_base_url,
                         std::chrono::milliseconds timeout = 5000ms) {
  return IsaacSimClient("test", "http://127.0.0.1:1/", ws_base_url, timeout, 0);
}

// Polls until a message arrives or `limit` passes.
std::optional<std::string> receiveWithin(WebSocketStream& stream,
                                         std::chrono::milliseconds limit = kWait) {
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

std::chrono::nanoseconds cpuTime(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
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

  const std::string refused_base =
      "ws://127.0.0.1:" + std::to_string(testing_util::unusedPort()) + "/";
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
  EXPECT_LT(millis(Clock::now() - start),
            2000);  // far below the 10 s time-out a blocking read would take
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
  peer.sendWithUpgrade(serverFrame(Opcode::Pong, "p") + serverFrame(Opcode::Ping, "x") +
                       serverFrame(Opcode::Close, ""));
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  EXPECT_EQ(stream.receive(), std::nullopt);
  EXPECT_TRUE(stream.peerClosed());
  EXPECT_EQ(stream.closeCode(), std::nullopt);
  EXPECT_EQ(stream.closeReason(), "");
  // The ping is answered, then the close is answered at once with an empty close frame.
  ASSERT_TRUE(peer.waitForFrames(0, 2, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Pong, "x");
  expectFrame(peer.frames(0)[1], Opcode::Close, "");
  EXPECT_EQ(errorOf([&] { stream.send("into a closed stream"); }),
            "WebSocket peer closed the stream");
}

TEST(WebSocketReceive, PeerCloseIsRecordedAnsweredWithItsCodeAndEndsWaitsAtOnce) {
  const std::string close_payload = std::string("\x03\xe9", 2) + "articulation removed";  // 1001
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (!session.awaitRelease() || !session.write(serverFrame(Opcode::Text, "last"))) return;
    if (!session.write(serverFrame(Opcode::Close, close_payload))) return;
    session.recordUntilClosed(false);  // a server that began the close does not answer its echo
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");
  peer.release();

  EXPECT_EQ(stream.receive(5000ms), "last");  // data ahead of the close still arrives
  const auto start = Clock::now();
  EXPECT_EQ(stream.receive(5000ms), std::nullopt);
  EXPECT_EQ(stream.receive(5000ms), std::nullopt);
  EXPECT_LT(millis(Clock::now() - start), 2000);  // neither call slept out its wait
  EXPECT_TRUE(stream.peerClosed());
  EXPECT_EQ(stream.closeCode(), std::optional<int>(1001));
  EXPECT_EQ(stream.closeReason(), "articulation removed");
  EXPECT_EQ(errorOf([&] { stream.send("x"); }),
            "WebSocket peer closed the stream: 1001 articulation removed");

  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Close, std::string("\x03\xe9", 2));  // the code echoed
  stream.close();  // no second close frame
  ASSERT_TRUE(peer.waitForDisconnect(0, kWait));
  EXPECT_EQ(peer.frames(0).size(), 1u);
  EXPECT_FALSE(peer.endedByReset(0));
}

// The text of the std::runtime_error that the first throwing receive() throws within kWait, or ""
// when every call returned.
std::string firstReceiveError(WebSocketStream& stream) {
  const auto until = Clock::now() + kWait;
  while (Clock::now() < until) {
    const std::string error = errorOf([&] { stream.receive(); });
    if (!error.empty()) return error;
    std::this_thread::sleep_for(1ms);
  }
  return "";
}

IsaacSimClient clientWithMessageLimit(const std::string& ws_base_url, std::size_t limit) {
  ClientOptions options;
  options.max_retries = 0;
  options.max_message_bytes = limit;
  return IsaacSimClient("test", "http://127.0.0.1:1/", ws_base_url, options);
}

TEST(WebSocketReceive, AFrameOverTheLimitThrowsAndTheStreamGoesOnAfterIt) {
  constexpr std::size_t kLimit = 16384;
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (!session.write(serverFrame(Opcode::Text, patterned(kLimit)))) return;
    if (!session.write(serverFrame(Opcode::Binary, patterned(kLimit + 1)))) return;
    if (!session.write(serverFrame(Opcode::Text, patterned(3 << 20)))) return;
    if (!session.write(serverFrame(Opcode::Text, "after"))) return;
    session.recordUntilClosed();
  });
  auto client = clientWithMessageLimit(peer.wsBaseUrl(), kLimit);
  WebSocketStream stream = client.openJointPositionStream("r1");

  EXPECT_EQ(receiveWithin(stream), patterned(kLimit));  // exactly at the limit: whole
  EXPECT_EQ(firstReceiveError(stream), "WebSocket message exceeds 16384 bytes");
  EXPECT_EQ(firstReceiveError(stream), "WebSocket message exceeds 16384 bytes");
  EXPECT_EQ(receiveWithin(stream), "after");  // the rest of the long frame was dropped
  stream.send("still open");
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Text, "still open");
}

TEST(WebSocketReceive, AHugeAnnouncedFrameThrowsAtItsFirstBytes) {
  // A text frame announcing 2 GiB (64-bit length form), whose payload the peer sends for as long
  // as the client reads, up to 1 GiB.
  std::string head("\x81\x7f", 2);
  const std::uint64_t announced = std::uint64_t{2} << 30;
  for (int shift = 56; shift >= 0; shift -= 8)
    head.push_back(static_cast<char>(announced >> shift));
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (!session.write(head)) return;
    const std::string piece(64 * 1024, 'p');
    for (int i = 0; i < (1 << 14) && session.write(piece); ++i) {}
  });
  auto client = clientWithMessageLimit(peer.wsBaseUrl(), 1 << 20);
  WebSocketStream stream = client.openJointPositionStream("r1");
  ASSERT_TRUE(peer.waitForConnections(1, kWait));
  const auto until = Clock::now() + kWait;
  while (peer.bytesWritten(0) == 0 && Clock::now() < until) std::this_thread::sleep_for(1ms);

  EXPECT_EQ(firstReceiveError(stream), "WebSocket message exceeds 1048576 bytes");
  // Thrown on the frame's head: far from all of its bytes had gone out.
  EXPECT_LT(peer.bytesWritten(0), std::uint64_t{256} << 20);
  EXPECT_EQ(stream.receive(), std::nullopt);  // later calls drop the rest, a bounded amount each
}

TEST(WebSocketReceive, FragmentsOfAMessageComeBackAsSeparateResultsFromThePlainReceive) {
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
    for (std::size_t i = 0; i < kFramesPerBlock; ++i)
      block += serverFrame(Opcode::Text, numbered(0));
    const auto until = Clock::now() + 6s;  // a bound, should the client never return
    for (std::uint64_t first = 0; Clock::now() < until; first += kFramesPerBlock) {
      for (std::size_t i = 0; i < kFramesPerBlock; ++i)
        writeDigits(first + i, &block[i * kFrameBytes + 4]);
      if (!session.write(block)) return;
    }
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  std::uint64_t received = 0;
  std::chrono::nanoseconds longest{};  // processor time of one call, as longestReceiveDuring
  bool in_order = true;
  const auto until = Clock::now() + 1500ms;
  while (Clock::now() < until) {
    const auto start = cpuTime(CLOCK_THREAD_CPUTIME_ID);
    const auto message = stream.receive();
    longest = std::max(longest, cpuTime(CLOCK_THREAD_CPUTIME_ID) - start);
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

// Calls receive() for `duration` and returns the longest single call; counts engaged results.
// The most processor time one receive() took on this thread. Time spent descheduled on a busy
// machine does not count; a call that kept handling frames would show its whole run.
std::chrono::nanoseconds longestReceiveDuring(WebSocketStream& stream,
                                              std::chrono::milliseconds duration, int& engaged) {
  std::chrono::nanoseconds longest{};
  const auto until = Clock::now() + duration;
  while (Clock::now() < until) {
    const auto start = cpuTime(CLOCK_THREAD_CPUTIME_ID);
    if (stream.receive()) ++engaged;
    longest = std::max(longest, cpuTime(CLOCK_THREAD_CPUTIME_ID) - start);
  }
  return longest;
}

// Pings until the client's answers have filled both kernel buffers, then the peer stops reading
// and keeps the connection open: an answer that waited for room would hold the call for good.
TEST(WebSocketReceive, PingBurstToAPeerThatStopsReadingNeverHoldsACall) {
  WebSocketPeer peer([](WebSocketSession& session) {
    const int small = 4096;
    ::setsockopt(session.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    if (!session.write(serverFrame(Opcode::Text, "first"))) return;
    const std::string pings = [] {
      std::string block;
      for (int i = 0; i < 1000; ++i) block += serverFrame(Opcode::Ping, std::string(120, 'p'));
      return block;
    }();
    for (int i = 0; i < 80; ++i) {  // about 10 MB of pings
      if (!session.write(pings)) return;
    }
    session.holdWithoutReading();
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  int engaged = 0;
  const auto longest = longestReceiveDuring(stream, 5000ms, engaged);
  EXPECT_EQ(engaged, 1);  // "first"
  EXPECT_LT(millis(longest), 100);
  EXPECT_GT(peer.bytesWritten(0), 1u << 20);  // the client went on reading pings
}

// A flood of pings that never stops while the peer reads the answers: each call handles a bounded
// number of control frames and hands control back.
TEST(WebSocketReceive, EndlessPingFloodLeavesEveryCallShortAndIsAnswered) {
  WebSocketPeer peer([](WebSocketSession& session) {
    std::string block;
    for (int i = 0; i < 200; ++i) block += serverFrame(Opcode::Ping, "flood");
    const auto until = Clock::now() + 6s;  // a bound, should the client never return
    while (Clock::now() < until) {
      if (!session.write(block) || !session.recordPending()) return;
    }
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  int engaged = 0;
  const auto longest = longestReceiveDuring(stream, 5000ms, engaged);
  EXPECT_EQ(engaged, 0);
  EXPECT_LT(millis(longest), 100);
  const auto frames = peer.frames(0);
  ASSERT_FALSE(frames.empty());
  expectFrame(frames.front(), Opcode::Pong, "flood");  // ordinary pings still get their pong
}

// ---------------------------------------------------------------------------------------------
// Waiting receive and waiting on several streams

TEST(WebSocketWait, ReturnsAMessageAsSoonAsItIsWholeAndNearTheWaitOnSilence) {
  const std::string frame = serverFrame(Opcode::Text, patterned(6000));
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (!session.awaitRelease()) return;
    session.pause(100ms);
    if (!session.write(serverFrame(Opcode::Text, "soon")) || !session.awaitRelease()) return;
    // Half a frame, then a pause far longer than the caller's wait.
    if (!session.writeSplit(frame, 3000, 600ms)) return;
    session.recordUntilClosed();
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");
  EXPECT_EQ(stream.receive(0ms), std::nullopt);  // zero waits no more than receive()

  auto start = Clock::now();
  EXPECT_EQ(stream.receive(200ms), std::nullopt);
  auto waited = millis(Clock::now() - start);
  EXPECT_GE(waited, 200);
  EXPECT_LT(waited, 1000);

  peer.release();
  start = Clock::now();
  EXPECT_EQ(stream.receive(5000ms), "soon");
  EXPECT_LT(millis(Clock::now() - start), 2500);  // woke on arrival, not at the deadline

  peer.release();
  const auto until = Clock::now() + kWait;
  while (peer.bytesWritten(0) < 3000 + 6 && Clock::now() < until) std::this_thread::sleep_for(1ms);
  start = Clock::now();
  EXPECT_EQ(stream.receive(100ms), std::nullopt);  // half a frame is not a message
  waited = millis(Clock::now() - start);
  EXPECT_GE(waited, 100);
  EXPECT_LT(waited, 500);
  EXPECT_EQ(stream.receive(5000ms), patterned(6000));  // whole, once
  EXPECT_EQ(stream.receive(50ms), std::nullopt);

  EXPECT_THROW(stream.receive(-1ms), std::invalid_argument);
}

TEST(WebSocketWait, FragmentedMessagesComeBackWholeAndTheLimitCoversTheWholeMessage) {
  const std::string close_frame = serverFrame(Opcode::Close, std::string("\x03\xe8", 2));
  WebSocketPeer peer([&](WebSocketSession& session) {
    // Three fragments with a ping between two of them, a message, then a message over the limit
    // whose fragments each fit it, then one more.
    if (!session.write(
            serverFrame(Opcode::Text, "Hel", false) +
            serverFrame(Opcode::Continuation, "l", false) + serverFrame(Opcode::Ping, "p") +
            serverFrame(Opcode::Continuation, "o") + serverFrame(Opcode::Binary, "next") +
            serverFrame(Opcode::Text, "abcd", false) +
            serverFrame(Opcode::Continuation, "efgh", false) +
            serverFrame(Opcode::Continuation, "ij") + serverFrame(Opcode::Text, "after")))
      return;
    // A message whose second fragment comes long after its first, then a close and the end of
    // the connection in one write.
    if (!session.awaitRelease() || !session.recordPending() ||
        !session.write(serverFrame(Opcode::Text, "sp", false)))
      return;
    session.pause(300ms);
    if (!session.write(serverFrame(Opcode::Continuation, "lit"))) return;
    session.awaitRelease();
    session.write(close_frame);
  });
  ClientOptions options;
  options.max_message_bytes = 8;
  IsaacSimClient client("test", "http://127.0.0.1:1/", peer.wsBaseUrl(), options);
  WebSocketStream stream = client.openJointPositionStream("r1");
  ASSERT_TRUE(peer.waitForConnections(1, kWait));

  EXPECT_EQ(stream.receive(kWait), "Hello");
  EXPECT_EQ(stream.receive(0ms), "next");
  EXPECT_EQ(errorOf([&] { stream.receive(kWait); }), "WebSocket message exceeds 8 bytes");
  EXPECT_EQ(stream.receive(kWait), "after");  // the rest of the long message was dropped

  peer.release();
  EXPECT_EQ(stream.receive(100ms), std::nullopt);  // a first fragment is not a message
  // A wait too long for the clock waits instead of overflowing into the past.
  EXPECT_EQ(stream.receive(std::chrono::milliseconds::max()), "split");
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Pong, "p");  // the ping between fragments was answered

  // A close arriving with the end of the connection is an empty result, never an error.
  peer.release();
  const auto until = Clock::now() + kWait;
  while (!stream.peerClosed() && Clock::now() < until) {
    EXPECT_EQ(stream.receive(0ms), std::nullopt);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(stream.peerClosed());
  EXPECT_EQ(stream.closeCode(), std::optional<int>(1000));
  EXPECT_EQ(stream.receive(0ms), std::nullopt);
}

TEST(WebSocketWait, DroppedConnectionDuringAWaitFailsWithLibcurlsText) {
  WebSocketPeer peer([](WebSocketSession& session) { session.awaitRelease(); });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");
  EXPECT_EQ(stream.receive(0ms), std::nullopt);
  peer.release();
  const auto start = Clock::now();
  EXPECT_EQ(errorOf([&] { stream.receive(5000ms); }),
            "WebSocket receive failed: " + curlText(CURLE_GOT_NOTHING));
  EXPECT_LT(millis(Clock::now() - start), 4000);
}

TEST(WebSocketWait, WaitForAnyNamesTheStreamsWithSomethingToRead) {
  WebSocketPeer peer([&](WebSocketSession& session) {
    const std::string& target = session.request().target;
    if (target.find("/second/") != std::string::npos) {
      if (!session.awaitRelease() || !session.write(serverFrame(Opcode::Text, "for second")))
        return;
    } else if (target.find("/third/") != std::string::npos) {
      // Closes once the client has asked for it with a text frame (the third connection).
      while (peer.frames(2).empty()) {
        if (!session.recordPending() || peer.stopping()) return;
        session.pause(5ms);
      }
      if (!session.write(serverFrame(Opcode::Close, std::string("\x03\xe8", 2)))) return;
    }
    session.recordUntilClosed();
  });
  auto client = clientFor(peer.wsBaseUrl());
  std::vector<WebSocketStream> streams;
  for (const char* name : {"first", "second", "third"})
    streams.push_back(client.openJointPositionStream(name));

  // Newly opened streams may hold frames that came with the upgrade answer.
  EXPECT_EQ(waitForAny(streams, 0ms), (std::vector<std::size_t>{0, 1, 2}));
  for (auto& stream : streams) EXPECT_EQ(stream.receive(), std::nullopt);

  auto start = Clock::now();
  EXPECT_EQ(waitForAny(streams, 150ms), std::vector<std::size_t>{});
  EXPECT_GE(millis(Clock::now() - start), 150);

  peer.release();  // lets the second stream's peer send
  start = Clock::now();
  EXPECT_EQ(waitForAny(streams, 5000ms), std::vector<std::size_t>{1});
  EXPECT_LT(millis(Clock::now() - start), 2500);
  EXPECT_EQ(streams[1].receive(), "for second");
  EXPECT_EQ(waitForAny(streams, 0ms), std::vector<std::size_t>{1});  // more may wait behind it
  EXPECT_EQ(streams[1].receive(), std::nullopt);

  streams[2].send("close now");
  EXPECT_EQ(waitForAny(streams, 5000ms), std::vector<std::size_t>{2});
  EXPECT_EQ(streams[2].receive(1000ms), std::nullopt);
  EXPECT_TRUE(streams[2].peerClosed());
  EXPECT_EQ(streams[2].closeCode(), std::optional<int>(1000));

  streams[0].close();  // closed streams and null pointers are skipped
  EXPECT_EQ(waitForAny({nullptr, &streams[0], &streams[1], &streams[2]}, 1000ms),
            std::vector<std::size_t>{3});  // a peer close stays reportable
  EXPECT_THROW(waitForAny(streams, -1ms), std::invalid_argument);
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
  auto client = clientFor(peer.wsBaseUrl(), 2000ms);
  auto stream = std::make_unique<WebSocketStream>(client.openJointPositionStream("r1"));
  const std::string message(16 << 20, 'x');

  // The sending thread's CPU time over the second half of the send, long after the kernel
  // buffers filled up: a loop that sleeps on the socket uses next to none of it, one that
  // retries at once uses it all, however loaded the machine is.
  clockid_t sender_clock{};
  ASSERT_EQ(pthread_getcpuclockid(pthread_self(), &sender_clock), 0);
  std::chrono::nanoseconds busy_in_second_half{};
  std::thread watcher([&] {
    std::this_thread::sleep_for(1000ms);
    const auto first = cpuTime(sender_clock);
    std::this_thread::sleep_for(800ms);
    busy_in_second_half = cpuTime(sender_clock) - first;
  });

  const auto wall_start = Clock::now();
  EXPECT_EQ(errorOf([&] { stream->send(message); }), "WebSocket send timed out after 2000 ms");
  const auto wall = Clock::now() - wall_start;
  watcher.join();

  EXPECT_GE(millis(wall), 1950);
  EXPECT_LT(millis(wall), 6000);
  EXPECT_LT(millis(busy_in_second_half), 200);  // of 800 ms
  // The frame was cut off inside: nothing more can go out on this connection.
  EXPECT_EQ(errorOf([&] { stream->send("more"); }),
            "WebSocket stream can no longer send: an earlier send() ended inside its frame");

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

// With unread frames pending, releasing the connection right after the close frame made the kernel
// reset it; waiting for the peer's close frame ends it in order.
TEST(WebSocketLifecycle, CloseCompletesTheHandshakeWithoutAReset) {
  WebSocketPeer peer([](WebSocketSession& session) {
    for (int i = 0; i < 20; ++i) {
      if (!session.write(serverFrame(Opcode::Text, patterned(1000)))) return;
    }
    session.recordUntilClosed();
  });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");
  const auto until = Clock::now() + kWait;
  while (peer.bytesWritten(0) < 20 * 1004 && Clock::now() < until) std::this_thread::sleep_for(1ms);

  stream.close();
  ASSERT_TRUE(peer.waitForDisconnect(0, kWait));
  ASSERT_EQ(peer.frames(0).size(), 1u);
  expectFrame(peer.frames(0)[0], Opcode::Close, "");
  EXPECT_FALSE(peer.endedByReset(0));
}

TEST(WebSocketLifecycle, PeerThatNeverAnswersTheCloseCostsAtMostTheBound) {
  WebSocketPeer peer([](WebSocketSession& session) { session.recordUntilClosed(false); });
  auto client = clientFor(peer.wsBaseUrl());
  WebSocketStream stream = client.openJointPositionStream("r1");

  const auto start = Clock::now();
  stream.close();
  EXPECT_LT(millis(Clock::now() - start), 1000);  // 200 ms and scheduling
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Close, "");
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
  auto client =
      std::make_unique<IsaacSimClient>("test", "http://127.0.0.1:1/", peer.wsBaseUrl(), 5000ms, 0);
  WebSocketStream stream = client->openArticulationStateStream("r1");
  client.reset();

  stream.send("orphan");
  peer.release();
  EXPECT_EQ(receiveWithin(stream), "after");
  ASSERT_TRUE(peer.waitForFrames(0, 1, kWait));
  expectFrame(peer.frames(0)[0], Opcode::Text, "orphan");
}

// ---------------------------------------------------------------------------------------------
// Reconnecting

// Holds a raw connection open until the client leaves or the peer stops.
void holdUntilTheClientLeaves(const ScriptedPeer& peer, int fd) {
  while (!peer.stopping() && !testing_util::waitReadable(fd, 20ms)) {}
}

TEST(WebSocketReconnect, DroppedConnectionsAreReopenedReportedAndHalfMessagesDropped) {
  std::atomic<int> sessions{0};
  WebSocketPeer peer([&](WebSocketSession& session) {
    switch (sessions++) {
      case 0:  // a message and half of the next, then the connection drops
        session.write(serverFrame(Opcode::Text, "one") +
                      serverFrame(Opcode::Text, patterned(3000)).substr(0, 1500));
        return;
      case 1:
        session.write(serverFrame(Opcode::Text, "two"));
        return;
      default:
        if (session.write(serverFrame(Opcode::Text, "three"))) session.recordUntilClosed();
    }
  });
  auto client = clientFor(peer.wsBaseUrl());
  std::vector<ReconnectReport> reports;
  WebSocketStream stream = client.openJointPositionStream("r1", reconnecting(reports));

  EXPECT_EQ(stream.receive(kWait), "one");
  EXPECT_EQ(stream.receive(kWait), "two");    // never a piece of the cut message
  EXPECT_EQ(receiveWithin(stream), "three");  // the plain receive reopens too
  EXPECT_EQ(stream.reconnects(), 2u);
  ASSERT_EQ(reports.size(), 2u);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].reconnects, i + 1);
    EXPECT_EQ(reports[i].reason.rfind("WebSocket receive failed: ", 0), 0u) << reports[i].reason;
    EXPECT_LT(reports[i].downtime.count(), 3000);
  }
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests)
    EXPECT_EQ(request.target, "/articulations/r1/stream_joint_positions");
  stream.send("on the third");
  ASSERT_TRUE(peer.waitForFrames(2, 1, kWait));
  expectFrame(peer.frames(2)[0], Opcode::Text, "on the third");
}

TEST(WebSocketReconnect, OptionsWithoutReconnectLeaveAFailureAsItWas) {
  WebSocketPeer peer([](WebSocketSession& session) { session.awaitRelease(); });
  auto client = clientFor(peer.wsBaseUrl());
  StreamOptions options;
  options.idle_timeout = 50ms;  // without reconnect, ignored
  WebSocketStream stream = client.openArticulationStateStream("r1", options);
  peer.release();
  EXPECT_EQ(errorOf([&] { stream.receive(5000ms); }),
            "WebSocket receive failed: " + curlText(CURLE_GOT_NOTHING));
  EXPECT_EQ(stream.reconnects(), 0u);
  EXPECT_EQ(peer.connectionCount(), 1u);
}

TEST(WebSocketReconnect, AConnectionWithoutDataForTheIdleTimeoutIsClosedAndReplaced) {
  std::atomic<int> sessions{0};
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (sessions++ == 0) {
      // One message, then only pings, which do not count as data.
      if (!session.write(serverFrame(Opcode::Text, "first"))) return;
      for (int i = 0; i < 200 && session.recordPending(); ++i) {
        if (!session.write(serverFrame(Opcode::Ping, "alive"))) return;
        session.pause(50ms);
      }
      return;
    }
    if (session.write(serverFrame(Opcode::Text, "second"))) session.recordUntilClosed();
  });
  auto client = clientFor(peer.wsBaseUrl());
  std::vector<ReconnectReport> reports;
  StreamOptions options = reconnecting(reports);
  options.idle_timeout = 300ms;
  WebSocketStream stream = client.openJointPositionStream("r1", options);

  EXPECT_EQ(stream.receive(kWait), "first");
  const auto start = Clock::now();
  EXPECT_EQ(stream.receive(kWait), "second");
  EXPECT_GE(millis(Clock::now() - start), 250);
  EXPECT_LT(millis(Clock::now() - start), 3000);
  EXPECT_EQ(stream.reconnects(), 1u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].reason, "idle for 300 ms");
  // The silent connection was told goodbye with a close frame and released.
  ASSERT_TRUE(peer.waitForDisconnect(0, kWait));
  const auto frames = peer.frames(0);
  ASSERT_FALSE(frames.empty());
  expectFrame(frames.back(), Opcode::Close, "");
}

TEST(WebSocketReconnect, ABridgesCloseEndsTheStreamUnlessReopeningAfterCloseIsAsked) {
  const std::string close_payload = std::string("\x03\xe9", 2) + "articulation removed";  // 1001
  WebSocketPeer peer([&](WebSocketSession& session) {
    if (session.write(serverFrame(Opcode::Text, "hello") +
                      serverFrame(Opcode::Close, close_payload)))
      session.recordUntilClosed(false);
  });
  auto client = clientFor(peer.wsBaseUrl());
  std::vector<ReconnectReport> reports;
  StreamOptions options = reconnecting(reports);
  WebSocketStream ending = client.openJointPositionStream("ending", options);
  EXPECT_EQ(ending.receive(kWait), "hello");
  const auto start = Clock::now();
  EXPECT_EQ(ending.receive(kWait), std::nullopt);
  EXPECT_LT(millis(Clock::now() - start), 2000);
  EXPECT_TRUE(ending.peerClosed());
  EXPECT_EQ(ending.closeCode(), std::optional<int>(1001));

  options.reconnect_after_close = true;
  WebSocketStream reopening = client.openJointPositionStream("reopening", options);
  EXPECT_EQ(reopening.receive(kWait), "hello");
  EXPECT_EQ(reopening.receive(kWait), "hello");  // from the second connection
  EXPECT_FALSE(reopening.peerClosed());
  EXPECT_EQ(reopening.reconnects(), 1u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].reason, "closed by the bridge: 1001 articulation removed");

  EXPECT_EQ(ending.receive(100ms), std::nullopt);
  EXPECT_EQ(ending.reconnects(), 0u);
  EXPECT_EQ(peer.connectionCount(), 3u);  // "ending" once, "reopening" twice
}

TEST(WebSocketReconnect, ARefusalWith4xxEndsTheStreamAndOtherFailedHandshakesAreRetried) {
  const std::string not_found_body = R"({"error":"articulation 'r1' not found","status":404})";
  const std::string not_found =
      "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\n"
      "Content-Length: " +
      std::to_string(not_found_body.size()) + "\r\nConnection: close\r\n\r\n" + not_found_body;
  ScriptedPeer bridge;
  std::atomic<int> upgrades{0};
  std::atomic<int> plain_requests{0};
  bridge.setConnectionHandler([&](int fd, const RecordedRequest& request) {
    if (!request.header("Sec-WebSocket-Key")) {  // never sent: a handshake is one request
      ++plain_requests;
      testing_util::writeAll(fd, not_found);
      return;
    }
    switch (upgrades++) {
      case 0:  // one message, then the connection drops
        testing_util::writeAll(
            fd, testing_util::upgradeAnswer(request.header("Sec-WebSocket-Key").value_or("")) +
                    serverFrame(Opcode::Text, "only"));
        return;
      case 1:
        testing_util::writeAll(
            fd,
            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
      default:
        testing_util::writeAll(fd, not_found);
    }
  });
  auto client = clientFor(bridge.wsBaseUrl());
  std::vector<ReconnectReport> reports;
  WebSocketStream stream = client.openJointPositionStream("r1", reconnecting(reports));
  EXPECT_EQ(stream.receive(kWait), "only");

  const std::string url = bridge.wsBaseUrl() + "articulations/r1/stream_joint_positions";
  const std::string refused =
      "WebSocket handshake failed for " + url + ": " + curlText(CURLE_HTTP_RETURNED_ERROR);
  const auto expectRefusal = [&](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "expected the 404 refusal";
    } catch (const HandshakeError& error) {
      EXPECT_EQ(std::string(error.what()), refused);
      EXPECT_EQ(error.statusCode(), 404);
      EXPECT_EQ(not_found_body.substr(0, error.body().size()), error.body());
    }
  };
  expectRefusal([&] { stream.receive(kWait); });  // after the 503 was retried
  EXPECT_EQ(upgrades.load(), 3);
  // Reconnecting has ended: every later call throws the refusal again, and none reopens.
  expectRefusal([&] { stream.receive(0ms); });
  expectRefusal([&] { stream.receive(); });
  expectRefusal([&] { stream.send("x"); });
  EXPECT_EQ(upgrades.load(), 3);
  EXPECT_EQ(stream.reconnects(), 0u);
  EXPECT_TRUE(reports.empty());

  // The first opening throws as without options; options are checked before connecting.
  EXPECT_EQ(errorOf([&] { client.openJointPositionStream("r1", reconnecting(reports)); }),
            errorOf([&] { client.openJointPositionStream("r1"); }));
  StreamOptions negative;
  negative.max_backoff = -1ms;
  EXPECT_THROW(client.openJointPositionStream("r1", negative), std::invalid_argument);
  EXPECT_EQ(upgrades.load(), 5);
  EXPECT_EQ(plain_requests.load(), 0);
  EXPECT_EQ(bridge.requestCount(), 5u);  // one request per handshake, reopens included
}

TEST(WebSocketReconnect, WaitingReceiveKeepsItsBoundWhileTheBridgeIsAway) {
  ScriptedPeer bridge;
  std::atomic<int> upgrades{0};
  std::atomic<bool> back{false};
  bridge.setConnectionHandler([&](int fd, const RecordedRequest& request) {
    const int n = upgrades++;
    if (n == 0) {  // one message, then the connection drops
      testing_util::writeAll(
          fd, testing_util::upgradeAnswer(request.header("Sec-WebSocket-Key").value_or("")) +
                  serverFrame(Opcode::Text, "before"));
      return;
    }
    // Away: handshakes stall until the client gives up. Back: the stream opens again.
    if (back && !testing_util::writeAll(fd, testing_util::upgradeAnswer(
                                                request.header("Sec-WebSocket-Key").value_or("")) +
                                                serverFrame(Opcode::Text, "after")))
      return;
    holdUntilTheClientLeaves(bridge, fd);
  });
  // A handshake bounded only by the client's time-out would outlast every wait below.
  auto client = clientFor(bridge.wsBaseUrl(), 10000ms);
  std::vector<ReconnectReport> reports;
  StreamOptions options = reconnecting(reports);
  options.max_backoff = 200ms;
  WebSocketStream stream = client.openJointPositionStream("r1", options);
  EXPECT_EQ(stream.receive(kWait), "before");

  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    EXPECT_EQ(stream.receive(300ms), std::nullopt);
    EXPECT_GE(millis(Clock::now() - start), 300);
    EXPECT_LT(millis(Clock::now() - start), 2000);
  }
  EXPECT_GE(upgrades.load(), 3);  // the stalled attempts
  auto start = Clock::now();
  EXPECT_EQ(stream.receive(0ms), std::nullopt);  // no time left, no attempt
  EXPECT_LT(millis(Clock::now() - start), 200);
  // waitForAny names the stream once its next attempt is due, within the capped back-off.
  start = Clock::now();
  EXPECT_EQ(waitForAny({&stream}, 5000ms), std::vector<std::size_t>{0});
  EXPECT_LT(millis(Clock::now() - start), 1500);
  EXPECT_EQ(stream.reconnects(), 0u);

  back = true;
  EXPECT_EQ(stream.receive(kWait), "after");
  EXPECT_EQ(stream.reconnects(), 1u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_GE(reports[0].downtime.count(), 900);  // the down period spans the calls
}

}  // namespace
}  // namespace strandel
