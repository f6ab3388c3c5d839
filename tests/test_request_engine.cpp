#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "client/backoff.hpp"
#include "client/join_url.hpp"
#include "client/request_engine.hpp"
#include "support/backoff_recorder.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using std::chrono::milliseconds;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing_util::BackoffRecorder;
using testing_util::Interrupted;
using testing_util::ScriptedAnswer;
using testing_util::ScriptedPeer;
using testing_util::thrownText;
using testing_util::writeAll;

// Calls through IsaacSimClient sleep for real between attempts; tests that retry call the engine
// with `backoff` as its sleeper instead.
class RequestEngine : public ::testing::Test {
 protected:
  IsaacSimClient client(int max_retries, milliseconds timeout = milliseconds(5000)) {
    return IsaacSimClient("test", peer.baseUrl(), peer.wsBaseUrl(), timeout, max_retries);
  }
  HttpResponse perform(std::string_view method, std::string_view path, std::string_view body,
                       int max_retries, milliseconds timeout = milliseconds(5000)) {
    return performAt(peer.baseUrl(), method, path, body, max_retries, timeout);
  }
  HttpResponse performAt(const std::string& base_url, std::string_view method,
                         std::string_view path, std::string_view body, int max_retries,
                         milliseconds timeout = milliseconds(5000)) {
    return detail::performRequest(method, detail::joinUrl(base_url, path), body,
                                  {timeout, max_retries}, backoff.sleeper());
  }
  ScriptedPeer peer;
  BackoffRecorder backoff;
};

// --- retry classification -------------------------------------------------------------------

TEST_F(RequestEngine, NonRetryableStatusesAreAnsweredOnce) {
  for (int status : {200, 202, 301, 400, 404, 501}) {
    ScriptedPeer fresh;
    fresh.enqueue(ScriptedAnswer::status_only(status, "body" + std::to_string(status)));
    const HttpResponse response = performAt(fresh.baseUrl(), "GET", "/x", {}, 3);
    EXPECT_EQ(response.status, status);
    EXPECT_EQ(response.body, "body" + std::to_string(status));
    EXPECT_EQ(fresh.requestCount(), 1u) << status;
  }
  EXPECT_TRUE(backoff.delays().empty());
}

TEST_F(RequestEngine, RetryableStatusesUseEveryAttemptAndReturnTheLast) {
  for (int status : {408, 409, 429, 500, 502, 503, 599}) {
    ScriptedPeer fresh;
    fresh.setDefault(ScriptedAnswer::status_only(status, "again"));
    const HttpResponse response = performAt(fresh.baseUrl(), "POST", "/cmd", "{}", 2);
    EXPECT_EQ(response.status, status);
    EXPECT_EQ(fresh.requestCount(), 3u) << status;
  }
  EXPECT_EQ(backoff.delays().size(), 7u * 2u);
}

TEST_F(RequestEngine, ZeroRetriesMakesOneAttemptAndNeverSleeps) {
  peer.setDefault(ScriptedAnswer::status_only(503));
  EXPECT_EQ(perform("GET", "a", {}, 0).status, 503);
  EXPECT_EQ(peer.requestCount(), 1u);
  EXPECT_TRUE(backoff.delays().empty());
}

TEST_F(RequestEngine, OnlyTheLastAttemptSurvives) {
  ScriptedAnswer first = ScriptedAnswer::status_only(503, "first body, longer than the last");
  first.header_lines = {"X-First: 1", "X-Both: first"};
  ScriptedAnswer second = ScriptedAnswer::status_only(200, "last");
  second.header_lines = {"X-Both: second"};
  peer.enqueue({first, second});
  const HttpResponse response = perform("PUT", "/p", "{\"a\":1}", 3);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "last");
  EXPECT_EQ(response.headers.count("X-First"), 0u);
  ASSERT_NE(response.header("x-both"), nullptr);
  EXPECT_EQ(*response.header("x-both"), "second");
  ASSERT_EQ(peer.requestCount(), 2u);
  // A retried command is the same request again.
  EXPECT_EQ(peer.requests()[0].body, peer.requests()[1].body);
  EXPECT_EQ(backoff.delays().size(), 1u);
}

TEST_F(RequestEngine, RefusedConnectionFailsAfterEveryAttempt) {
  const std::string url = "http://127.0.0.1:" + std::to_string(testing_util::unusedPort()) + "/";
  try {
    performAt(url, "GET", "x", {}, 2, milliseconds(2000));
    FAIL() << "no exception";
  } catch (const HTTPError&) {
    FAIL() << "transport failures are not HTTPError";
  } catch (const TimeoutError&) {
    FAIL() << "a refused connection is no time-out";
  } catch (const TransportError& e) {
    EXPECT_EQ(std::string(e.what()),
              std::string("HTTP request failed: ") + "Could not connect to server");
    EXPECT_EQ(e.curlCode(), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(e.url(), url + "x");
    EXPECT_EQ(e.attempts(), 3);
  }
  // The sleeper is handed the back-off of attempt 0, then of attempt 1.
  ASSERT_EQ(backoff.delays().size(), 2u);
  EXPECT_GE(backoff.delays()[0], milliseconds(375));
  EXPECT_LE(backoff.delays()[0], milliseconds(500));
  EXPECT_GE(backoff.delays()[1], milliseconds(750));
  EXPECT_LE(backoff.delays()[1], milliseconds(1000));
}

TEST_F(RequestEngine, AStalledPeerEndsTheAttemptAtTheTimeout) {
  ScriptedAnswer stall;
  stall.action = ScriptedAnswer::Action::Stall;
  peer.setDefault(stall);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT([&] { perform("GET", "slow", {}, 1, milliseconds(150)); },
              ::testing::ThrowsMessage<TimeoutError>(
                  StartsWith("HTTP request failed: Timeout was reached")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(peer.requestCount(), 2u);
  EXPECT_GE(elapsed, milliseconds(2 * 150));
  EXPECT_LT(elapsed, std::chrono::seconds(20));  // generous: two attempts, no real back-off
}

TEST_F(RequestEngine, AnswerCutOffWithoutResponseIsATransportFailure) {
  ScriptedAnswer close;
  close.action = ScriptedAnswer::Action::CloseWithoutAnswer;
  peer.setDefault(close);
  EXPECT_THAT([&] { perform("DELETE", "gone", {}, 1); },
              ::testing::ThrowsMessage<std::runtime_error>(StartsWith("HTTP request failed: ")));
  EXPECT_EQ(peer.requestCount(), 2u);
}

// --- client options -------------------------------------------------------------------------

TEST(ClientOptionsTest, DefaultsAreTheConstructorsAndValidationKeepsItsTexts) {
  const ClientOptions defaults;
  EXPECT_EQ(defaults.timeout, milliseconds(10000));
  EXPECT_EQ(defaults.max_retries, 3);
  EXPECT_FALSE(defaults.reuse_connections);
  EXPECT_FALSE(defaults.on_attempt);
  EXPECT_EQ(defaults.max_response_bytes, 0u);
  EXPECT_EQ(defaults.max_message_bytes, 0u);

  const auto invalid = [](std::string base, std::string ws, milliseconds timeout, int retries) {
    ClientOptions options;
    options.timeout = timeout;
    options.max_retries = retries;
    options.reuse_connections = true;
    return thrownText<std::invalid_argument>([&] { IsaacSimClient("x", base, ws, options); });
  };
  EXPECT_EQ(invalid("", "", milliseconds(0), -1), "base_url must not be empty");
  EXPECT_EQ(invalid("http://h", "", milliseconds(0), -1), "websocket_base_url must not be empty");
  EXPECT_EQ(invalid("http://h", "ws://h", milliseconds(0), -1), "timeout must be positive");
  EXPECT_EQ(invalid("http://h", "ws://h", milliseconds(1), -1), "max_retries must not be negative");

  ClientOptions options;
  options.reuse_connections = true;
  const IsaacSimClient c("x", "http://h:1", "ws://h:1/base", options);
  EXPECT_EQ(c.baseUrl(), "http://h:1/");
  EXPECT_EQ(c.websocketBaseUrl(), "ws://h:1/base/");
}

// --- connection reuse -----------------------------------------------------------------------

ScriptedAnswer keptAlive(int status, std::string body) {
  ScriptedAnswer answer = ScriptedAnswer::json(status, std::move(body));
  answer.ending = ScriptedAnswer::Ending::KeepAlive;
  return answer;
}

IsaacSimClient reusingClient(const ScriptedPeer& peer, int max_retries,
                             std::function<void(const AttemptReport&)> hook = {}) {
  ClientOptions options;
  options.timeout = milliseconds(10000);
  options.max_retries = max_retries;
  options.reuse_connections = true;
  options.on_attempt = std::move(hook);
  return IsaacSimClient("reuse", peer.baseUrl(), peer.wsBaseUrl(), options);
}

void sendEveryVerb(IsaacSimClient& c) {
  EXPECT_EQ(c.get("/a?x=1").body, "{}");
  EXPECT_EQ(c.post("/b", "{\"p\":1}").status, 200);
  EXPECT_EQ(c.put("/c", "").status, 200);
  EXPECT_EQ(c.patch("/d", "{}").status, 200);
  EXPECT_EQ(c.deleteRequest("/e").status, 200);
  EXPECT_EQ(c.get("/f").status, 200);
}

TEST(ConnectionReuse, SequentialRequestsTravelOneConnectionWithTheSameBytes) {
  ScriptedPeer reused;
  ScriptedPeer fresh;
  reused.setDefault(keptAlive(200, "{}"));
  fresh.setDefault(keptAlive(200, "{}"));
  auto with_reuse = reusingClient(reused, 0);
  IsaacSimClient without_reuse("fresh", fresh.baseUrl(), fresh.wsBaseUrl(), milliseconds(10000), 0);
  sendEveryVerb(with_reuse);
  sendEveryVerb(without_reuse);

  EXPECT_EQ(reused.acceptCount(), 1u);
  EXPECT_EQ(fresh.acceptCount(), 6u);  // the default: a connection per request, kept-alive or not
  const auto a = reused.requests();
  const auto b = fresh.requests();
  ASSERT_EQ(a.size(), 6u);
  ASSERT_EQ(b.size(), 6u);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(testing_util::wire(a[i]), testing_util::wire(b[i]));
    auto host_free = [](std::vector<std::pair<std::string, std::string>> headers) {
      for (auto& [name, value] : headers) {
        if (name == "Host") value = "<host>";  // the two peers' ports differ
      }
      return headers;
    };
    EXPECT_EQ(host_free(a[i].headers), host_free(b[i].headers)) << i;
  }
}

TEST(ConnectionReuse, APeerThatClosesOrResetsIdleConnectionsCostsNoError) {
  ScriptedPeer closing;
  ScriptedAnswer close_quietly = ScriptedAnswer::json(200, "{\"n\":1}");
  close_quietly.ending = ScriptedAnswer::Ending::CloseQuietly;
  closing.setDefault(close_quietly);
  auto c = reusingClient(closing, 0);  // no retries: only libcurl's own recovery may help
  for (int i = 0; i < 20; ++i) {
    if (i % 2 == 1) std::this_thread::sleep_for(milliseconds(20));  // closed while idle
    EXPECT_EQ(c.get("/n").body, "{\"n\":1}") << i;                  // or just before reuse
  }
  EXPECT_EQ(closing.acceptCount(), 20u);

  ScriptedPeer resetting;
  ScriptedAnswer reset_idle = ScriptedAnswer::json(200, "{}");
  reset_idle.ending = ScriptedAnswer::Ending::ResetWhenIdle;
  reset_idle.idle_reset = milliseconds(20);
  resetting.setDefault(reset_idle);
  auto r = reusingClient(resetting, 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r.post("/x", "{}").status, 200) << i;
    std::this_thread::sleep_for(milliseconds(300));  // generous: the reset comes after 20 ms
  }
  EXPECT_EQ(resetting.acceptCount(), 3u);
  EXPECT_EQ(resetting.requestCount(), 3u);
}

TEST(ConnectionReuse, ATransportFailureDropsTheConnectionAndTheRetryOpensAFreshOne) {
  ScriptedPeer peer;
  ScriptedAnswer cut = ScriptedAnswer::status_only(200, std::string(100000, 'c'));
  cut.action = ScriptedAnswer::Action::ResetAfter;
  cut.reset_after = 1000;
  peer.enqueue({keptAlive(200, "{\"first\":1}"), cut, keptAlive(200, "{\"third\":3}")});
  std::vector<AttemptReport> reports;
  auto c = reusingClient(peer, 1, [&](const AttemptReport& r) { reports.push_back(r); });
  EXPECT_EQ(c.get("/one").body, "{\"first\":1}");
  EXPECT_EQ(c.get("/two").body, "{\"third\":3}");  // after the real back-off of one retry
  EXPECT_EQ(peer.acceptCount(), 2u);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1].status, 0);
  EXPECT_FALSE(reports[1].error.empty());
  EXPECT_EQ(reports[2].status, 200);
}

// A bridge that answers the first request on a kept connection, then reads the next one on it and
// closes without answering; later connections are answered.
void answerOnceThenDropTheNext(ScriptedPeer& peer) {
  ScriptedAnswer drop;
  drop.action = ScriptedAnswer::Action::CloseWithoutAnswer;
  peer.enqueue({keptAlive(200, "{\"first\":1}"), drop});
  peer.setDefault(keptAlive(200, "{\"again\":2}"));
}

TEST(ConnectionReuse, ARequestLibcurlWouldSendAgainIsAnAttemptAndACommandIsNeverSentTwiceUnasked) {
  const std::string nothing = "Server returned nothing (no headers, no data)";
  std::vector<AttemptReport> reports;
  const auto record = [&](const AttemptReport& r) { reports.push_back(r); };
  {
    ScriptedPeer peer;
    answerOnceThenDropTheNext(peer);
    auto c = reusingClient(peer, 0, record);
    EXPECT_EQ(c.get("/first").status, 200);
    EXPECT_EQ(thrownText<std::runtime_error>([&] { c.post("/cmd", "{}"); }),
              "HTTP request failed: " + nothing);
    EXPECT_EQ(peer.requestCount(), 2u);  // exactly one copy of the command
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].method, "POST");
    EXPECT_EQ(reports[1].attempt, 1);
    EXPECT_EQ(reports[1].status, 0);
    EXPECT_EQ(reports[1].error, nothing);
    EXPECT_EQ(reports[1].next_delay, std::nullopt);
  }
  reports.clear();
  {
    ScriptedPeer peer;
    answerOnceThenDropTheNext(peer);
    auto c = reusingClient(peer, 1, record);
    EXPECT_EQ(c.get("/first").status, 200);
    EXPECT_EQ(c.put("/cmd", "{}").body, "{\"again\":2}");
    EXPECT_EQ(peer.requestCount(), 3u);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[1].attempt, 1);
    EXPECT_EQ(reports[1].error, nothing);
    EXPECT_EQ(reports[1].next_delay, std::optional(milliseconds(0)));
    EXPECT_EQ(reports[2].attempt, 2);
    EXPECT_EQ(reports[2].status, 200);
    EXPECT_EQ(reports[2].next_delay, std::nullopt);
  }
  reports.clear();
  {
    // A GET may go out twice: libcurl's replacement stays, and both copies are reported.
    ScriptedPeer peer;
    answerOnceThenDropTheNext(peer);
    auto c = reusingClient(peer, 0, record);
    EXPECT_EQ(c.get("/first").status, 200);
    EXPECT_EQ(c.get("/read").body, "{\"again\":2}");
    EXPECT_EQ(peer.requestCount(), 3u);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[1].error, nothing);
    EXPECT_EQ(reports[2].attempt, 2);
    EXPECT_EQ(reports[2].status, 200);
  }
}

TEST(ConnectionReuse, EightThreadsShareOneClient) {
  ScriptedPeer peer;
  peer.setDefault(keptAlive(200, "{\"ok\":true}"));
  auto c = reusingClient(peer, 0);
  constexpr int kThreads = 8;
  constexpr int kRequestsPerThread = 50;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequestsPerThread; ++i) {
        try {
          const HttpResponse r = (i % 2 == 0) ? c.get("/t" + std::to_string(t))
                                              : c.post("/t" + std::to_string(t), "{}");
          if (r.status == 200 && r.body == "{\"ok\":true}") ++answered;
        } catch (const std::exception&) {
          // counted as not answered
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered.load(), kThreads * kRequestsPerThread);
  // Never more connections than requests in flight at once.
  EXPECT_GE(peer.acceptCount(), 1u);
  EXPECT_LE(peer.acceptCount(), static_cast<std::size_t>(kThreads));
}

// --- attempt hook -----------------------------------------------------------------------------

TEST_F(RequestEngine, TheAttemptHookSeesEveryAttemptItsStatusAndTheDelayAfterIt) {
  peer.enqueue({ScriptedAnswer::status_only(503), ScriptedAnswer::status_only(503),
                ScriptedAnswer::status_only(200, "done")});
  std::vector<AttemptReport> reports;
  const std::function<void(const AttemptReport&)> hook = [&](const AttemptReport& r) {
    reports.push_back(r);
  };
  detail::RequestSettings settings{milliseconds(5000), 3};
  settings.on_attempt = &hook;
  const std::string url = peer.baseUrl() + "cmd";
  const HttpResponse response =
      detail::performRequest("POST", url, "{}", settings, backoff.sleeper());
  EXPECT_EQ(response.body, "done");

  ASSERT_EQ(reports.size(), 3u);
  ASSERT_EQ(backoff.delays().size(), 2u);
  const long statuses[] = {503, 503, 200};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reports[i].method, "POST");
    EXPECT_EQ(reports[i].url, url);
    EXPECT_EQ(reports[i].attempt, static_cast<int>(i) + 1);
    EXPECT_EQ(reports[i].status, statuses[i]);
    EXPECT_EQ(reports[i].error, "");
    EXPECT_LT(reports[i].duration, std::chrono::seconds(30));
  }
  // The delay reported is the one then slept.
  EXPECT_EQ(reports[0].next_delay, backoff.delays()[0]);
  EXPECT_EQ(reports[1].next_delay, backoff.delays()[1]);
  EXPECT_EQ(reports[2].next_delay, std::nullopt);
}

TEST(AttemptHook, ReportsATransportFailuresTextThroughTheClient) {
  const std::string base = "http://127.0.0.1:" + std::to_string(testing_util::unusedPort()) + "/";
  std::vector<AttemptReport> reports;
  ClientOptions options;
  options.max_retries = 1;  // one real back-off of 375..500 ms
  options.on_attempt = [&](const AttemptReport& r) { reports.push_back(r); };
  IsaacSimClient c("hook", base, "ws://127.0.0.1:1/", options);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { c.deleteRequest("gone"); }),
            "HTTP request failed: Could not connect to server");
  ASSERT_EQ(reports.size(), 2u);
  for (const AttemptReport& r : reports) {
    EXPECT_EQ(r.method, "DELETE");
    EXPECT_EQ(r.url, base + "gone");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, "Could not connect to server");
  }
  ASSERT_TRUE(reports[0].next_delay.has_value());
  EXPECT_GE(*reports[0].next_delay, milliseconds(375));
  EXPECT_LE(*reports[0].next_delay, milliseconds(500));
  EXPECT_FALSE(reports[1].next_delay.has_value());
}

TEST_F(RequestEngine, AThrowingHookEndsTheCallWithItsExceptionAndNoFurtherAttempt) {
  peer.setDefault(ScriptedAnswer::status_only(503));
  const std::function<void(const AttemptReport&)> hook = [](const AttemptReport&) {
    throw std::logic_error("hook refused");
  };
  detail::RequestSettings settings{milliseconds(5000), 3};
  settings.on_attempt = &hook;
  EXPECT_EQ(thrownText<std::logic_error>([&] {
              detail::performRequest("GET", peer.baseUrl(), {}, settings, backoff.sleeper());
            }),
            "hook refused");
  EXPECT_EQ(peer.requestCount(), 1u);
  EXPECT_TRUE(backoff.delays().empty());
}

// --- interrupt check ----------------------------------------------------------------------------

TEST(InterruptCheck, ATransferWaitingForAnAnswerEndsWithTheChecksExceptionAndNoFurtherAttempt) {
  ScriptedPeer peer;
  ScriptedAnswer stall;
  stall.action = ScriptedAnswer::Action::Stall;
  peer.setDefault(stall);
  int reports = 0;
  ClientOptions options;
  options.timeout = milliseconds(20000);
  options.max_retries = 3;
  options.on_attempt = [&](const AttemptReport&) { ++reports; };
  const auto start = std::chrono::steady_clock::now();
  options.interrupt_check = [start] {
    if (std::chrono::steady_clock::now() - start > milliseconds(200)) throw Interrupted();
  };
  IsaacSimClient c("", peer.baseUrl(), peer.wsBaseUrl(), options);
  EXPECT_EQ(thrownText<Interrupted>([&] { c.post("/slow", "{}"); }), "interrupted by the test");
  // Well before the time-out: libcurl polls the check at least once a second while it waits.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(peer.requestCount(), 1u);
  EXPECT_EQ(reports, 0);  // an interrupted attempt is not reported
}

TEST_F(RequestEngine, TheBackOffIsSlicedAndTheCheckEndsItBetweenSlices) {
  peer.setDefault(ScriptedAnswer::status_only(503));
  std::vector<milliseconds> slices;
  bool stop = false;
  const detail::Sleeper sleep = [&](milliseconds slice) {
    slices.push_back(slice);
    stop = slices.size() == 3;
  };
  const std::function<void()> check = [&] {
    if (stop) throw Interrupted();
  };
  std::vector<AttemptReport> reports;
  const std::function<void(const AttemptReport&)> hook = [&](const AttemptReport& r) {
    reports.push_back(r);
  };
  detail::RequestSettings settings{milliseconds(5000), 3};
  settings.on_attempt = &hook;
  settings.interrupt_check = &check;
  EXPECT_EQ(thrownText<Interrupted>(
                [&] { detail::performRequest("GET", peer.baseUrl() + "x", {}, settings, sleep); }),
            "interrupted by the test");
  EXPECT_EQ(peer.requestCount(), 1u);
  ASSERT_EQ(reports.size(), 1u);
  ASSERT_TRUE(reports[0].next_delay.has_value());
  ASSERT_EQ(slices.size(), 3u);
  for (const milliseconds slice : slices) EXPECT_EQ(slice, detail::kMaxSleepSlice);

  // Sliced or whole, the back-off adds up to the delay reported.
  slices.clear();
  stop = false;
  reports.clear();
  peer.setDefault(ScriptedAnswer::status_only(200));
  peer.enqueue(ScriptedAnswer::status_only(503));
  EXPECT_EQ(detail::performRequest("GET", peer.baseUrl() + "y", {}, settings,
                                   [&](milliseconds slice) { slices.push_back(slice); })
                .status,
            200);
  ASSERT_EQ(reports.size(), 2u);
  milliseconds total{0};
  for (const milliseconds slice : slices) {
    EXPECT_LE(slice, detail::kMaxSleepSlice);
    total += slice;
  }
  EXPECT_EQ(total, reports[0].next_delay);
}

std::atomic<bool> interrupt_requested{false};

void requestInterrupt(int) { interrupt_requested = true; }

// A signal handled on the waiting thread wakes libcurl's wait (poll fails with EINTR), so the check
// runs at once rather than at libcurl's next idle poll, about a second apart.
TEST(InterruptCheck, ASignalOnTheWaitingThreadRunsTheCheckPromptly) {
  struct sigaction handler {};
  handler.sa_handler = &requestInterrupt;
  sigemptyset(&handler.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGINT, &handler, &previous), 0);
  interrupt_requested = false;

  ScriptedPeer peer;
  ScriptedAnswer stall;
  stall.action = ScriptedAnswer::Action::Stall;
  peer.setDefault(stall);
  ClientOptions options;
  options.timeout = milliseconds(20000);
  options.interrupt_check = [] {
    if (interrupt_requested) throw Interrupted();
  };
  IsaacSimClient c("", peer.baseUrl(), peer.wsBaseUrl(), options);

  // Sent some 200 ms after libcurl's idle poll at one second, far from its next one.
  const pthread_t caller = ::pthread_self();
  std::atomic<bool> finished{false};
  std::chrono::steady_clock::time_point signalled;
  std::thread signaller([&] {
    const auto until = std::chrono::steady_clock::now() + milliseconds(1200);
    while (!finished && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    signalled = std::chrono::steady_clock::now();
    if (!finished) ::pthread_kill(caller, SIGINT);
  });
  EXPECT_EQ(thrownText<Interrupted>([&] { c.get("/slow"); }), "interrupted by the test");
  const auto ended = std::chrono::steady_clock::now();
  finished = true;
  signaller.join();
  ::sigaction(SIGINT, &previous, nullptr);
  EXPECT_LT(ended - signalled, milliseconds(500));
}

// --- response size cap --------------------------------------------------------------------------

constexpr std::size_t kCap = 1u << 20;
// What a hostile peer offers at most; far beyond anything the kernel buffers of one connection
// hold.
constexpr std::size_t kOffered = std::size_t{1} << 30;

// Serves every connection with `head` and then body bytes (as 64 KiB chunks when `chunked`) until
// kOffered bytes went out, the client goes away or the peer stops; records what it sent.
struct EndlessBody {
  std::atomic<std::size_t> sent{0};
  std::atomic<bool> client_left{false};

  void serveOn(ScriptedPeer& peer, std::string head, bool chunked) {
    peer.setConnectionHandler([this, head, chunked, &peer](int fd, const auto&) {
      if (!writeAll(fd, head)) return;
      const std::string piece(64 * 1024, 'z');
      const std::string framed = "10000\r\n" + piece + "\r\n";
      while (sent < kOffered && !peer.stopping()) {
        if (!writeAll(fd, chunked ? framed : piece)) {
          client_left = true;
          return;
        }
        sent += piece.size();
      }
    });
  }
};

TEST(ResponseCap, AnEndlessChunkedBodyEndsAtTheCapWithoutARetry) {
  ScriptedPeer peer;
  EndlessBody body;
  body.serveOn(peer, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true);
  std::vector<AttemptReport> reports;
  ClientOptions options;
  options.max_retries = 3;
  options.max_response_bytes = kCap;
  options.on_attempt = [&](const AttemptReport& r) { reports.push_back(r); };
  IsaacSimClient c("cap", peer.baseUrl(), peer.wsBaseUrl(), options);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { c.get("/stream"); }),
            "HTTP response exceeds 1048576 bytes");
  EXPECT_EQ(peer.requestCount(), 1u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].error, "HTTP response exceeds 1048576 bytes");
  EXPECT_FALSE(reports[0].next_delay.has_value());
  // The connection ended while the peer had sent little more than what the sockets buffer.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!body.client_left && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_TRUE(body.client_left);
  EXPECT_LT(body.sent.load(), std::size_t{64} << 20);
}

TEST(ResponseCap, AnOversizedContentLengthEndsBeforeTheBodyAndABodyAtTheCapArrives) {
  ScriptedPeer peer;
  EndlessBody body;
  body.serveOn(peer, "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n", false);
  ClientOptions options;
  options.max_retries = 2;
  options.max_response_bytes = kCap;
  options.reuse_connections = true;
  IsaacSimClient c("cap", peer.baseUrl(), peer.wsBaseUrl(), options);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { c.post("/big", "{}"); }),
            "HTTP response exceeds 1048576 bytes");
  EXPECT_EQ(peer.requestCount(), 1u);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!body.client_left && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_TRUE(body.client_left);
  EXPECT_LT(body.sent.load(), std::size_t{64} << 20);

  ScriptedPeer exact;
  exact.setDefault(ScriptedAnswer::status_only(200, std::string(kCap, 'e')));
  IsaacSimClient e("cap", exact.baseUrl(), exact.wsBaseUrl(), options);
  EXPECT_EQ(e.get("/exact").body.size(), kCap);
  ScriptedAnswer one_more = ScriptedAnswer::status_only(200, std::string(kCap + 1, 'e'));
  one_more.content_length = false;  // no length announced: the write callback stops it
  exact.setDefault(one_more);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { e.get("/one_more"); }),
            "HTTP response exceeds 1048576 bytes");
}

// --- retry control --------------------------------------------------------------------------

TEST(RetryControl, StatusesDelaysAndAPerLoopClientWithoutRetriesAreSeenOnTheWire) {
  ScriptedPeer peer;
  std::vector<AttemptReport> reports;
  std::mutex mutex;
  ClientOptions options;
  options.retry_statuses = std::vector<long>{503, 409};
  options.initial_backoff = milliseconds(8);
  options.max_backoff = milliseconds(20);
  options.reuse_connections = true;
  options.on_attempt = [&](const AttemptReport& report) {
    std::lock_guard<std::mutex> lock(mutex);
    reports.push_back(report);
  };
  IsaacSimClient patient("test", peer.baseUrl(), peer.wsBaseUrl(), options);

  // 500 is no longer retried; 503 and 409 are, with the tuned delays.
  peer.enqueue(keptAlive(500, ""));
  EXPECT_EQ(patient.get("a").status, 500);
  EXPECT_EQ(peer.requestCount(), 1u);
  peer.enqueue({keptAlive(503, ""), keptAlive(409, ""), keptAlive(503, ""), keptAlive(200, "")});
  EXPECT_EQ(patient.post("b", "{}").status, 200);
  EXPECT_EQ(peer.requestCount(), 5u);
  ASSERT_EQ(reports.size(), 5u);
  const std::pair<long, long> ranges[] = {{6, 8}, {12, 16}, {15, 20}};
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(reports[1 + k].next_delay.has_value());
    EXPECT_GE(reports[1 + k].next_delay->count(), ranges[k].first) << k;
    EXPECT_LE(reports[1 + k].next_delay->count(), ranges[k].second) << k;
    EXPECT_EQ(reports[1 + k].failure, AttemptFailure::none);
  }

  // A client without retries for one loop: the same bridge, the same pool, one attempt a call.
  ClientOptions once_options = options;
  once_options.max_retries = 0;
  once_options.reuse_connections = false;  // ignored: the pool is shared
  IsaacSimClient once = patient.withOptions(once_options);
  peer.setDefault(keptAlive(503, ""));
  EXPECT_EQ(once.post("c", "{}").status, 503);
  EXPECT_EQ(peer.requestCount(), 6u);
  EXPECT_EQ(peer.acceptCount(), 1u);  // every request so far travelled the one kept connection
  EXPECT_EQ(once.baseUrl(), patient.baseUrl());

  options.initial_backoff = milliseconds(-1);
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { patient.withOptions(options); }),
            "backoff must not be negative");
}

TEST(RetryControl, TheAttemptHookNamesTheKindOfEachFailure) {
  ScriptedPeer peer;
  ScriptedAnswer stall;
  stall.action = ScriptedAnswer::Action::Stall;
  ScriptedAnswer big = ScriptedAnswer::status_only(200, std::string(64, 'x'));
  peer.enqueue({stall, big});
  std::vector<AttemptReport> reports;
  ClientOptions options;
  options.timeout = milliseconds(150);
  options.max_retries = 1;
  options.initial_backoff = milliseconds(1);
  options.max_response_bytes = 16;
  options.on_attempt = [&](const AttemptReport& report) { reports.push_back(report); };
  IsaacSimClient client("test", peer.baseUrl(), peer.wsBaseUrl(), options);
  try {
    client.get("x");
    FAIL() << "no exception";
  } catch (const ResponseTooLargeError& e) {
    EXPECT_EQ(std::string(e.what()), "HTTP response exceeds 16 bytes");
    EXPECT_EQ(e.limit(), 16u);
  }
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].failure, AttemptFailure::timeout);
  EXPECT_EQ(reports[1].failure, AttemptFailure::response_too_large);

  const std::string refused =
      "http://127.0.0.1:" + std::to_string(testing_util::unusedPort()) + "/";
  options.max_retries = 0;
  reports.clear();
  IsaacSimClient nowhere("test", refused, peer.wsBaseUrl(), options);
  EXPECT_THROW(nowhere.get("x"), TransportError);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].failure, AttemptFailure::transport);
}

// --- back-off ---------------------------------------------------------------------------------

TEST(Backoff, DefaultJitterFollowsRandAndSeededJitterDiffersBetweenClients) {
  // Without the opt-in: exactly min(500 * 2^k, 8000) * (0.75 + 0.25 * r / 32767) with r = rand().
  std::srand(1234);
  std::vector<int> draws;
  for (int i = 0; i < 6; ++i) draws.push_back(std::rand() & 0x7FFF);
  std::srand(1234);
  for (int k = 0; k < 6; ++k) {
    const double base = std::min(500.0 * (1 << k), 8000.0);
    const auto expected = static_cast<long>((0.75 + 0.25 * draws[k] / 32767.0) * base);
    EXPECT_EQ(detail::backoffDelay(k).count(), expected) << k;
  }
  // With it: each client draws from its own generator; two clients do not move in lockstep.
  detail::SeededJitter first;
  detail::SeededJitter second;
  const detail::BackoffPolicy a{milliseconds(1000), milliseconds(1000), &first};
  const detail::BackoffPolicy b{milliseconds(1000), milliseconds(1000), &second};
  int same = 0;
  for (int i = 0; i < 32; ++i) {
    const long da = detail::backoffDelay(0, a).count();
    const long db = detail::backoffDelay(0, b).count();
    EXPECT_GE(da, 750);
    EXPECT_LE(da, 1000);
    same += da == db ? 1 : 0;
  }
  EXPECT_LT(same, 8);
}

TEST(Backoff, DelaysLieInTheirRangesForEveryAttempt) {
  const std::pair<long, long> ranges[] = {{375, 500},   {750, 1000},  {1500, 2000}, {3000, 4000},
                                          {6000, 8000}, {6000, 8000}, {6000, 8000}};
  for (int k = 0; k < 7; ++k) {
    for (int draw = 0; draw < 2000; ++draw) {
      const long ms = detail::backoffDelay(k).count();
      ASSERT_GE(ms, ranges[k].first) << "k=" << k;
      ASSERT_LE(ms, ranges[k].second) << "k=" << k;
    }
  }
  for (int k : {30, 31, 64, 1000, 2147483647}) {
    const long ms = detail::backoffDelay(k).count();
    EXPECT_GE(ms, 6000);
    EXPECT_LE(ms, 8000);
  }
}

TEST(Backoff, TheRealSleepWaitsAtLeastTheDelay) {
  ScriptedPeer peer;
  peer.enqueue({ScriptedAnswer::status_only(503), ScriptedAnswer::status_only(200)});
  IsaacSimClient c("", peer.baseUrl(), peer.wsBaseUrl(), milliseconds(5000), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.get("x").status, 200);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(375));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

// --- methods and bodies on the wire ---------------------------------------------------------

TEST_F(RequestEngine, BodyVerbsSendTheBodyUnalteredWithJsonContentType) {
  auto c = client(0);
  const std::string binary("{\"k\":\"\xC3\xA9\"}\0tail", 15);
  c.post("/a", binary);
  c.put("/b", "");
  c.patch("//c", " spaced ");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 3u);
  const char* methods[] = {"POST", "PUT", "PATCH"};
  const char* targets[] = {"/a", "/b", "/c"};
  const std::string bodies[] = {binary, "", " spaced "};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(requests[i].method, methods[i]);
    EXPECT_EQ(requests[i].target, targets[i]);
    EXPECT_EQ(requests[i].body, bodies[i]);
    EXPECT_EQ(requests[i].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[i].header("Content-Length"), std::to_string(bodies[i].size()));
  }
}

TEST_F(RequestEngine, LargeBodiesGoOutWithoutExpectContinue) {
  auto c = client(0);
  const std::string big(std::size_t{2} << 20, 'x');
  EXPECT_EQ(c.post("/big", big).status, 200);
  EXPECT_EQ(c.patch("/big", big).status, 200);
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.header("Expect"), std::nullopt);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.body.size(), big.size());
  }
}

TEST_F(RequestEngine, GetAndDeleteSendNeitherBodyNorContentType) {
  auto c = client(0);
  c.get("/q?x=1");
  c.deleteRequest("/thing");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/q?x=1");
  EXPECT_EQ(requests[1].method, "DELETE");
  EXPECT_EQ(requests[1].target, "/thing");
  for (const auto& r : requests) {
    EXPECT_FALSE(r.header("Content-Type").has_value());
    EXPECT_FALSE(r.header("Content-Length").has_value() && *r.header("Content-Length") != "0");
    EXPECT_TRUE(r.body.empty());
  }
}

TEST_F(RequestEngine, AnEmptyBodyNeverReadsStandardInput) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string planted = "data that must not be sent";
  ASSERT_EQ(::write(fds[1], planted.data(), planted.size()), static_cast<ssize_t>(planted.size()));
  ::close(fds[1]);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(fds[0], STDIN_FILENO);
  auto c = client(0);
  c.post("/empty", std::string_view());
  c.put("/empty", std::string_view());
  if (saved >= 0) {
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
  } else {
    ::close(STDIN_FILENO);  // there was no standard input to begin with
  }
  ::close(fds[0]);
  for (const auto& r : peer.requests()) {
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.header("Content-Length"), "0");
  }
  EXPECT_EQ(peer.requestCount(), 2u);
}

TEST_F(RequestEngine, UnsupportedMethodsFailBeforeAnyTransfer) {
  for (const char* method : {"post", "HEAD", "", "GET "}) {
    EXPECT_THAT([&] { perform(method, "", "", 3, milliseconds(1000)); },
                ::testing::ThrowsMessage<std::invalid_argument>(
                    std::string("Unsupported HTTP method: ") + method));
  }
  EXPECT_EQ(peer.requestCount(), 0u);
  EXPECT_TRUE(backoff.delays().empty());
}

TEST_F(RequestEngine, PathsWithSpacesOrLineBreaksFailBeforeAnythingIsSentOrRetried) {
  auto c = client(3);
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { c.get("/a b"); }), "path contains a space");
  for (const char* path : {"/a\r\nX-Injected:1", "/a\nb", "/a\x7f"}) {
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { c.post(path, "{}"); }),
              "path contains a control character");
  }
  EXPECT_EQ(peer.requestCount(), 0u);
}

TEST_F(RequestEngine, PathsTravelExactlyAsWritten) {
  auto c = client(0);
  c.get("../../cameras/cam1/joints_state");
  c.deleteRequest("%2e%2e/x");
  c.post("./a", "{}");
  c.put("a/./b/../c", "{}");
  c.patch("/..", "{}");
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].target, "/../../cameras/cam1/joints_state");
  EXPECT_EQ(requests[1].target, "/%2e%2e/x");
  EXPECT_EQ(requests[2].target, "/./a");
  EXPECT_EQ(requests[3].target, "/a/./b/../c");
  EXPECT_EQ(requests[4].target, "/..");
}

TEST_F(RequestEngine, PathsWithNulOrFragmentFailBeforeAnythingIsSentOrRetried) {
  auto c = client(3);
  const std::string nul("a\0b", 3);
  const std::string both("#a\0", 3);
  const std::vector<std::function<void(std::string_view)>> verbs = {
      [&](std::string_view p) { c.get(p); },
      [&](std::string_view p) { c.post(p, "{}"); },
      [&](std::string_view p) { c.put(p, "{}"); },
      [&](std::string_view p) { c.patch(p, "{}"); },
      [&](std::string_view p) { c.deleteRequest(p); },
  };
  for (std::size_t i = 0; i < verbs.size(); ++i) {
    SCOPED_TRACE(i);
    const auto failure = [&](std::string_view path) {
      return thrownText<std::invalid_argument>([&] { verbs[i](path); });
    };
    EXPECT_EQ(failure(nul), "path contains a NUL byte");
    EXPECT_EQ(failure(both), "path contains a NUL byte");
    EXPECT_EQ(failure("a#b"), "path contains '#'");
    EXPECT_EQ(failure("x?q=1#"), "path contains '#'");
  }
  EXPECT_EQ(peer.requestCount(), 0u);
}

// --- headers ----------------------------------------------------------------------------------

TEST_F(RequestEngine, HeadersKeepCaseLastDuplicateWinsAndLeadingSpacesGo) {
  ScriptedAnswer answer = ScriptedAnswer::status_only(200, "ok");
  answer.header_lines = {"X-Case: upper",     "x-case: lower", "Dup: 1", "Dup: 2",
                         "Spaced:   three  ", "Tabbed:\tkept", "Empty:"};
  peer.enqueue(answer);
  auto c = client(0);
  const HttpResponse r = c.get("/");
  EXPECT_EQ(r.headers.at("X-Case"), "upper");
  EXPECT_EQ(r.headers.at("x-case"), "lower");
  EXPECT_EQ(r.headers.at("Dup"), "2");
  EXPECT_EQ(r.headers.at("Spaced"), "three  ");
  EXPECT_EQ(r.headers.at("Tabbed"), "\tkept");
  EXPECT_EQ(r.headers.at("Empty"), "");
  // Upper case sorts first, so a folded lookup finds it.
  EXPECT_EQ(*r.header("X-CASE"), "upper");
}

TEST_F(RequestEngine, InterimResponsesShareTheMap) {
  ScriptedAnswer answer;
  answer.raw =
      "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
      "HTTP/1.1 201 Created\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  peer.enqueue(answer);
  auto c = client(0);
  const HttpResponse r = c.post("/", "{}");
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.body, "ok");
  EXPECT_EQ(r.headers.at("X-Interim"), "yes");
}

TEST(CollectHeader, LinesWithoutColonAndBlankLinesAddNothing) {
  HttpResponse r;
  auto feed = [&](std::string line) {
    EXPECT_EQ(detail::collectHeader(line.data(), 1, line.size(), &r), line.size());
  };
  feed("HTTP/1.1 200 OK\r\n");
  feed("\r\n");
  feed("\n\r\r\n");
  feed("no colon here\r\n");
  EXPECT_TRUE(r.headers.empty());
  feed(":empty name\r\n");
  feed("A: b\r\r\n\n");
  feed(std::string("\xC3\x84rger: \xFF\r\n"));
  EXPECT_EQ(r.headers.at(""), "empty name");
  EXPECT_EQ(r.headers.at("A"), "b");
  ASSERT_NE(r.header("\xC3\x84RGER"), nullptr);  // bytes above 0x7F only compare equal
  EXPECT_EQ(*r.header("\xC3\x84rger"), "\xFF");
  EXPECT_EQ(*r.header(""), "empty name");
}

// --- hostile peers ----------------------------------------------------------------------------

TEST_F(RequestEngine, HugeHeaderLineIsRefusedWithoutHarm) {
  ScriptedAnswer answer = ScriptedAnswer::status_only(200, "x");
  answer.header_lines = {"X-Huge: " + std::string(100 * 1024, 'h')};
  peer.enqueue(answer);
  auto c = client(0);
  EXPECT_THAT([&] { c.get("/"); },
              ::testing::ThrowsMessage<std::runtime_error>(StartsWith("HTTP request failed: ")));
}

ScriptedAnswer answerWithHeaderLines(int count) {
  ScriptedAnswer answer = ScriptedAnswer::status_only(200, "x");
  for (int i = 0; i < count; ++i) answer.header_lines.push_back("H" + std::to_string(i) + ": v");
  return answer;
}

TEST_F(RequestEngine, ThousandsOfHeaderLinesAreCollected) {
  peer.enqueue(answerWithHeaderLines(4000));
  auto c = client(0);
  const HttpResponse r = c.get("/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers.size(), 4000u + 2u);  // plus Content-Length and Connection
  EXPECT_EQ(*r.header("h3999"), "v");
}

TEST_F(RequestEngine, TenThousandHeaderLinesAreRefusedByLibcurlsCap) {
  peer.enqueue(answerWithHeaderLines(10000));
  auto c = client(0);
  EXPECT_THAT([&] { c.get("/"); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  "HTTP request failed: A value or data field grew larger than allowed"));
}

TEST_F(RequestEngine, FiftyMegabyteBodyArrivesWhole) {
  std::string big(50u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  peer.enqueue(ScriptedAnswer::status_only(200, big));
  auto c = client(0, milliseconds(60000));
  const HttpResponse r = c.get("/big");
  EXPECT_EQ(r.body.size(), big.size());
  EXPECT_TRUE(r.body == big);
}

TEST_F(RequestEngine, ResetInTheMiddleOfTheBodyIsATransportFailure) {
  ScriptedAnswer answer = ScriptedAnswer::status_only(200, std::string(1 << 20, 'b'));
  answer.action = ScriptedAnswer::Action::ResetAfter;
  answer.reset_after = 300000;
  peer.setDefault(answer);
  EXPECT_THAT([&] { perform("GET", "/", {}, 1); },
              ::testing::ThrowsMessage<std::runtime_error>(StartsWith("HTTP request failed: ")));
  EXPECT_EQ(peer.requestCount(), 2u);
}

// Run in a child process, where SIGPIPE at its default disposition would end the child instead of
// the suite: a large upload to a peer that resets while the body is still going out (so a send
// meets the reset connection) must end in the library's transfer error.
TEST(RequestEngineDeathTest, AResetWhileSendingIsATransferErrorNotASigpipe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGPIPE, SIG_DFL);
        bool failed_as_expected = false;
        {
          ScriptedPeer peer;
          ScriptedAnswer reset;
          reset.action = ScriptedAnswer::Action::ResetWhileReceiving;
          reset.reset_after = 64 * 1024;
          peer.setDefault(reset);
          IsaacSimClient c("", peer.baseUrl(), peer.wsBaseUrl(), milliseconds(20000), 0);
          const std::string text = thrownText<std::runtime_error>(
              [&] { c.post("/upload", std::string(std::size_t{64} << 20, 'u')); });
          std::fprintf(stderr, "%s\n", text.c_str());
          failed_as_expected =
              text.rfind("HTTP request failed: ", 0) == 0 && peer.requestCount() == 1;
        }
        std::exit(failed_as_expected ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "HTTP request failed: ");
}

void applicationSigpipeHandler(int) {}

TEST(RequestEngineSignals, AnApplicationsSigpipeHandlerSurvivesConcurrentRequests) {
  struct sigaction mine {};
  mine.sa_handler = &applicationSigpipeHandler;
  sigemptyset(&mine.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGPIPE, &mine, &previous), 0);

  ScriptedPeer peer;
  IsaacSimClient c("", peer.baseUrl(), peer.wsBaseUrl(), milliseconds(20000), 0);
  constexpr int kThreads = 8;
  constexpr int kRequestsPerThread = 100;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRequestsPerThread; ++i) {
        try {
          if (c.get("/ping").status == 200) ++answered;
        } catch (const std::exception&) {
          // counted as not answered
        }
      }
    });
  }
  for (auto& t : threads) t.join();

  struct sigaction after {};
  ::sigaction(SIGPIPE, &previous, &after);
  EXPECT_EQ(answered.load(), kThreads * kRequestsPerThread);
  EXPECT_EQ(after.sa_handler, &applicationSigpipeHandler);
}

TEST_F(RequestEngine, HostileContentLengthDoesNotReserveAbsurdMemory) {
  ScriptedAnswer answer;
  answer.raw =
      "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\nConnection: close\r\n\r\nab";
  peer.enqueue(answer);
  auto c = client(0, milliseconds(1000));
  const HttpResponse r = c.get("/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ab");
  EXPECT_LT(r.body.capacity(), 1u << 20);
}

}  // namespace
}  // namespace strandel
