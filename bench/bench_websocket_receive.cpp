// Receive throughput of a WebSocket stream against a peer that floods pre-built text frames, side
// by side with a bare loop of curl_ws_recv (same 4096-byte chunk, same peer):
//
//   BM_StreamReceive          WebSocketStream::receive, one complete message per iteration
//   BM_BareCurlReceive        curl_ws_recv on a connection opened with libcurl's defaults
//   BM_BareCurlLimitedBuffer  the same loop on a socket with the stream's receive-buffer limit
//
// The first against the second is the whole price of the library, including its bound on one
// receive call; the first against the third is the price of the wrapper alone. Every run opens
// its own connection, and the peer sends exactly as many frames as the run reads plus a margin,
// so that the unbounded libcurl queue of the default connection cannot grow past one run's data.
// Run with --benchmark_enable_random_interleaving=true to spread machine noise evenly.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include <strandel/client.hpp>

#include "stream/receive_buffer_limit.hpp"
#include "support/websocket_peer.hpp"

namespace {

using strandel::testing_util::Opcode;
using strandel::testing_util::serverFrame;
using strandel::testing_util::WebSocketPeer;
using strandel::testing_util::WebSocketSession;

constexpr std::size_t kChunkBytes = 4096;
constexpr std::int64_t kMarginFrames = 64;

// A peer whose every connection receives `frames` copies of one text frame of `payload` bytes,
// written in blocks of about 256 KiB as fast as the socket takes them.
std::unique_ptr<WebSocketPeer> floodingPeer(std::size_t payload, std::int64_t frames) {
  const std::string frame = serverFrame(Opcode::Text, std::string(payload, 'p'));
  const std::size_t per_block = std::max<std::size_t>(1, (256u << 10) / frame.size());
  std::string block;
  for (std::size_t i = 0; i < per_block; ++i) block += frame;
  return std::make_unique<WebSocketPeer>([=](WebSocketSession& session) {
    std::int64_t left = frames;
    while (left > 0) {
      const auto now = std::min<std::int64_t>(left, static_cast<std::int64_t>(per_block));
      if (!session.write(
              std::string_view(block).substr(0, static_cast<std::size_t>(now) * frame.size()))) {
        return;
      }
      left -= now;
    }
    session.recordUntilClosed();
  });
}

void reportThroughput(benchmark::State& state, std::size_t payload) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload));
}

void BM_StreamReceive(benchmark::State& state) {
  const auto payload = static_cast<std::size_t>(state.range(0));
  auto peer = floodingPeer(payload, state.max_iterations + kMarginFrames);
  strandel::IsaacSimClient client("bench", "http://127.0.0.1:1/", peer->wsBaseUrl(),
                                  std::chrono::milliseconds(10000), 0);
  strandel::WebSocketStream stream = client.openJointPositionStream("bench");

  for (auto _ : state) {
    std::optional<std::string> message;
    while (!(message = stream.receive())) {}
    benchmark::DoNotOptimize(message->data());
  }
  reportThroughput(state, payload);
}

// A connect-only WebSocket handle, as an application would open one with libcurl alone.
CURL* openBare(const std::string& url, bool limit_receive_buffer) {
  CURL* handle = curl_easy_init();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_CONNECT_ONLY, 2L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 10000L);
  if (limit_receive_buffer) {
    curl_easy_setopt(handle, CURLOPT_SOCKOPTFUNCTION,
                     static_cast<curl_sockopt_callback>(&strandel::detail::limitReceiveBuffer));
  }
  if (curl_easy_perform(handle) != CURLE_OK) {
    curl_easy_cleanup(handle);
    return nullptr;
  }
  return handle;
}

void bareCurlReceive(benchmark::State& state, bool limit_receive_buffer) {
  const auto payload = static_cast<std::size_t>(state.range(0));
  auto peer = floodingPeer(payload, state.max_iterations + kMarginFrames);
  CURL* handle = openBare(peer->wsBaseUrl() + "bench", limit_receive_buffer);
  if (handle == nullptr) {
    state.SkipWithError("handshake failed");
    return;
  }

  char chunk[kChunkBytes];
  for (auto _ : state) {
    for (;;) {
      std::size_t received = 0;
      const curl_ws_frame* meta = nullptr;
      const CURLcode code = curl_ws_recv(handle, chunk, sizeof chunk, &received, &meta);
      if (code == CURLE_AGAIN) continue;
      if (code != CURLE_OK) {
        state.SkipWithError("curl_ws_recv failed");
        break;
      }
      if ((meta->flags & (CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG)) != 0) continue;
      benchmark::DoNotOptimize(chunk[0]);
      if (meta->bytesleft == 0) break;
    }
  }
  reportThroughput(state, payload);
  std::size_t sent = 0;
  curl_ws_send(handle, "", 0, &sent, 0, CURLWS_CLOSE);
  curl_easy_cleanup(handle);
}

void BM_BareCurlReceive(benchmark::State& state) { bareCurlReceive(state, false); }
void BM_BareCurlLimitedBuffer(benchmark::State& state) { bareCurlReceive(state, true); }

// Fixed iteration counts bound what each run's peer sends: 2,000,000 x 200 B (about 400 MB) and
// 5,000 x 64 KiB (about 330 MB).
void smallMessages(benchmark::internal::Benchmark* b) {
  b->Arg(200)->Iterations(2000000)->Repetitions(10)->ReportAggregatesOnly(true)->UseRealTime();
}
void largeMessages(benchmark::internal::Benchmark* b) {
  b->Arg(64 << 10)->Iterations(5000)->Repetitions(10)->ReportAggregatesOnly(true)->UseRealTime();
}

BENCHMARK(BM_StreamReceive)->Apply(smallMessages);
BENCHMARK(BM_BareCurlReceive)->Apply(smallMessages);
BENCHMARK(BM_BareCurlLimitedBuffer)->Apply(smallMessages);
BENCHMARK(BM_StreamReceive)->Apply(largeMessages);
BENCHMARK(BM_BareCurlReceive)->Apply(largeMessages);
BENCHMARK(BM_BareCurlLimitedBuffer)->Apply(largeMessages);

}  // namespace

BENCHMARK_MAIN();
