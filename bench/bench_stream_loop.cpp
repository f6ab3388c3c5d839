// A control loop's view of a stream: a peer paces 200-byte text frames at 1 kHz for 3 s, and
// three loops read them on one thread each:
//
//   BM_WaitingReceive   WebSocketStream::receive(wait), sleeping in poll() between messages
//   BM_BusyReceive      WebSocketStream::receive() called back to back (a polling loop)
//   BM_BarePollLoop     curl_ws_recv with poll() on the socket between CURLE_AGAIN answers: the
//                       floor any loop on libcurl can reach
//
// Counters: messages received, CPU time of the reading thread (ms), and the delay from the
// peer's write of a frame to the loop holding its payload (p50 and p99, microseconds). The delay
// includes the kernel's delivery over loopback, so it bounds the library's own share from above.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include <strandel/client.hpp>

#include "stream/receive_buffer_limit.hpp"
#include "support/websocket_peer.hpp"

namespace {

using strandel::testing_util::Opcode;
using strandel::testing_util::serverFrame;
using strandel::testing_util::WebSocketPeer;
using strandel::testing_util::WebSocketSession;
using Clock = std::chrono::steady_clock;

constexpr int kMessages = 3000;
constexpr auto kPeriod = std::chrono::microseconds(1000);
constexpr std::size_t kPayload = 200;

std::int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

double threadCpuMillis() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A peer that writes kMessages frames, one per kPeriod; each payload starts with the steady-clock
// time of its write in nanoseconds, as 20 decimal digits.
std::unique_ptr<WebSocketPeer> pacedPeer() {
  return std::make_unique<WebSocketPeer>([](WebSocketSession& session) {
    std::string payload(kPayload, '.');
    const auto start = Clock::now();
    for (int i = 0; i < kMessages; ++i) {
      std::this_thread::sleep_until(start + kPeriod * (i + 1));
      std::uint64_t stamp = static_cast<std::uint64_t>(nowNanos());
      for (int d = 19; d >= 0; --d, stamp /= 10)
        payload[static_cast<std::size_t>(d)] = static_cast<char>('0' + stamp % 10);
      if (!session.write(serverFrame(Opcode::Text, payload))) return;
    }
    session.recordUntilClosed();
  });
}

// Collects what each loop reports.
struct LoopRecord {
  std::vector<double> delays_us;
  double cpu_start = threadCpuMillis();

  void onMessage(const char* payload) {
    delays_us.push_back(static_cast<double>(nowNanos() - std::stoll(std::string(payload, 20))) /
                        1e3);
  }
  void report(benchmark::State& state) {
    state.counters["messages"] = static_cast<double>(delays_us.size());
    state.counters["cpu_ms"] = threadCpuMillis() - cpu_start;
    if (delays_us.empty()) return;
    std::sort(delays_us.begin(), delays_us.end());
    const auto at = [&](double q) {
      return delays_us[static_cast<std::size_t>(q * static_cast<double>(delays_us.size() - 1))];
    };
    state.counters["delay_p50_us"] = at(0.50);
    state.counters["delay_p99_us"] = at(0.99);
  }
};

// Ends a loop that lost its peer: 3 s of messages plus generous slack.
Clock::time_point loopDeadline() {
  return Clock::now() + kPeriod * kMessages + std::chrono::seconds(5);
}

// Reads the paced stream through the library, one `receive(stream)` call per loop turn.
template <typename Receive>
void libraryLoop(benchmark::State& state, Receive receive) {
  for (auto _ : state) {
    auto peer = pacedPeer();
    strandel::IsaacSimClient client("bench", "http://127.0.0.1:1/", peer->wsBaseUrl(),
                                    std::chrono::seconds(10), 0);
    strandel::WebSocketStream stream = client.openJointPositionStream("bench");
    LoopRecord record;
    const auto deadline = loopDeadline();
    while (static_cast<int>(record.delays_us.size()) < kMessages && Clock::now() < deadline) {
      if (auto message = receive(stream)) record.onMessage(message->data());
    }
    record.report(state);
  }
}

void BM_WaitingReceive(benchmark::State& state) {
  libraryLoop(state, [](strandel::WebSocketStream& stream) {
    return stream.receive(std::chrono::milliseconds(100));
  });
}

void BM_BusyReceive(benchmark::State& state) {
  libraryLoop(state, [](strandel::WebSocketStream& stream) { return stream.receive(); });
}

void BM_BarePollLoop(benchmark::State& state) {
  for (auto _ : state) {
    auto peer = pacedPeer();
    CURL* handle = curl_easy_init();
    const std::string url = peer->wsBaseUrl() + "bench";
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_CONNECT_ONLY, 2L);
    curl_easy_setopt(handle, CURLOPT_SOCKOPTFUNCTION,
                     static_cast<curl_sockopt_callback>(&strandel::detail::limitReceiveBuffer));
    if (curl_easy_perform(handle) != CURLE_OK) {
      curl_easy_cleanup(handle);
      state.SkipWithError("handshake failed");
      return;
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket);

    LoopRecord record;
    std::string message;
    char chunk[4096];
    const auto deadline = loopDeadline();
    while (static_cast<int>(record.delays_us.size()) < kMessages && Clock::now() < deadline) {
      std::size_t received = 0;
      const curl_ws_frame* meta = nullptr;
      const CURLcode code = curl_ws_recv(handle, chunk, sizeof chunk, &received, &meta);
      if (code == CURLE_AGAIN) {
        pollfd entry{socket, POLLIN, 0};
        ::poll(&entry, 1, 100);
        continue;
      }
      if (code != CURLE_OK) break;
      if ((meta->flags & (CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG)) != 0) continue;
      message.append(chunk, received);
      if (meta->bytesleft == 0) {
        record.onMessage(message.data());
        message.clear();
      }
    }
    record.report(state);
    std::size_t sent = 0;
    curl_ws_send(handle, "", 0, &sent, 0, CURLWS_CLOSE);
    curl_easy_cleanup(handle);
  }
}

void paced(benchmark::internal::Benchmark* b) {
  b->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_WaitingReceive)->Apply(paced);
BENCHMARK(BM_BusyReceive)->Apply(paced);
BENCHMARK(BM_BarePollLoop)->Apply(paced);

}  // namespace

BENCHMARK_MAIN();
