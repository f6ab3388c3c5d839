#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "client/join_url.hpp"
#include "client/resource_path.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using std::chrono::milliseconds;
using testing_util::Interrupted;
using testing_util::ScriptedAnswer;
using testing_util::ScriptedPeer;
using testing_util::thrownText;

std::string invalidArgumentText(void (*construct)()) {
  return testing_util::thrownText<std::invalid_argument>(construct);
}

TEST(ClientConfig, ValidationRunsInOrderWithExactTexts) {
  EXPECT_EQ(invalidArgumentText([] { IsaacSimClient c("", "", "", milliseconds(0), -1); }),
            "base_url must not be empty");
  EXPECT_EQ(invalidArgumentText([] { IsaacSimClient c("", "http://h", "", milliseconds(0), -1); }),
            "websocket_base_url must not be empty");
  EXPECT_EQ(
      invalidArgumentText([] { IsaacSimClient c("", "http://h", "ws://h", milliseconds(0), -1); }),
      "timeout must be positive");
  EXPECT_EQ(
      invalidArgumentText([] { IsaacSimClient c("", "http://h", "ws://h", milliseconds(-5), 0); }),
      "timeout must be positive");
  EXPECT_EQ(
      invalidArgumentText([] { IsaacSimClient c("", "http://h", "ws://h", milliseconds(1), -1); }),
      "max_retries must not be negative");
  EXPECT_NO_THROW(IsaacSimClient("", "http://h", "ws://h", milliseconds(1), 0));
}

TEST(ClientConfig, UrlsGainExactlyOneTrailingSlash) {
  IsaacSimClient plain("label", "http://h:1", "ws://h:1/x", milliseconds(100), 0);
  EXPECT_EQ(plain.baseUrl(), "http://h:1/");
  EXPECT_EQ(plain.websocketBaseUrl(), "ws://h:1/x/");
  IsaacSimClient slashed("", "http://h/", "ws://h//", milliseconds(100), 0);
  EXPECT_EQ(slashed.baseUrl(), "http://h/");
  EXPECT_EQ(slashed.websocketBaseUrl(), "ws://h//");
}

TEST(ClientConfig, FacadesAreBoundAtConstruction) {
  IsaacSimClient client("", "http://h", "ws://h", milliseconds(100), 0);
  // The facade members exist and are reachable; their behaviour is tested per facade.
  EXPECT_NE(static_cast<void*>(&client.articulations), static_cast<void*>(&client.cameras));
}

TEST(UrlJoin, DropsEveryLeadingSlashAndKeepsTheRest) {
  EXPECT_EQ(detail::joinUrl("http://h/", "///a//b?x=1 2"), "http://h/a//b?x=1 2");
  EXPECT_EQ(detail::joinUrl("http://h/", ""), "http://h/");
  EXPECT_EQ(detail::joinUrl("http://h/", "////"), "http://h/");
  EXPECT_EQ(detail::joinUrl("http://h/", "a/"), "http://h/a/");
}

// --- resource identifiers and paths -------------------------------------------------------------

TEST(UrlJoin, PathsAndIdentifiersRefuseWhatCannotTravelVerbatimInThisOrder) {
  const auto pathText = [](std::string_view path) {
    return thrownText<std::invalid_argument>([&] { detail::requireVerbatimPath(path); });
  };
  const auto idText = [](std::string_view id) {
    return thrownText<std::invalid_argument>(
        [&] { detail::resourcePath("articulations", id, ""); });
  };
  EXPECT_EQ(pathText(std::string("a b#\0", 5)), "path contains a NUL byte");
  EXPECT_EQ(pathText("a b#"), "path contains '#'");
  EXPECT_EQ(pathText("a\tb c"), "path contains a space");
  for (const char* control : {"a\x01", "a\tb", "\r\nX:1", "\x1f", "a\x7f"}) {
    EXPECT_EQ(pathText(control), "path contains a control character") << control;
  }
  EXPECT_EQ(pathText("q?x=1&y=%20/../\x80\xff"), "<no exception>");

  EXPECT_EQ(idText("x?#"), "path contains '#'");
  EXPECT_EQ(idText("victim?x"), "path contains '?'");
  EXPECT_EQ(idText("a b?"), "path contains '?'");
  EXPECT_EQ(idText("a\x7f "), "path contains a space");
  EXPECT_EQ(idText("arm\n"), "path contains a control character");
  EXPECT_EQ(detail::resourcePath("articulations", "arm/1/../%2e", "/set_j"),
            "/articulations/arm/1/../%2e/set_j");
}

TEST(UrlJoin, FacadesAndStreamOpenersRefuseSuchIdentifiersBeforeAnythingIsSent) {
  ScriptedPeer peer;
  IsaacSimClient client("", peer.baseUrl(), peer.wsBaseUrl(), milliseconds(5000), 3);
  const std::vector<std::function<void(std::string_view)>> calls = {
      [&](std::string_view id) { client.articulations.remove(id); },
      [&](std::string_view id) { client.articulations.setJointPositions(id, {1.0}); },
      [&](std::string_view id) { client.surfaceGrippers.setProperties(id); },
      [&](std::string_view id) { client.cameras.capture(id); },
      [&](std::string_view id) { client.openJointPositionStream(id); },
      [&](std::string_view id) { client.articulations.streamArticulationState(id); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    const auto text = [&](std::string_view id) {
      return thrownText<std::invalid_argument>([&] { calls[i](id); });
    };
    EXPECT_EQ(text("victim?x"), "path contains '?'");
    EXPECT_EQ(text("a b"), "path contains a space");
    EXPECT_EQ(text("a\x1b"), "path contains a control character");
  }
  EXPECT_EQ(peer.requestCount(), 0u);  // nothing sent, nothing retried
}

// --- schemes, standard output and the stream handshake ------------------------------------------

// Runs `action` with the process's standard output sent to a file; returns what was written.
std::string standardOutputOf(const std::function<void()>& action) {
  std::fflush(stdout);
  char path[] = "/tmp/strandel_stdout_XXXXXX";
  const int file = ::mkstemp(path);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(file, STDOUT_FILENO);
  try {
    action();
  } catch (...) {
    // The caller's checks run on what was printed; the failure itself is checked elsewhere.
  }
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(file);
  std::ifstream in(path, std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ::unlink(path);
  return written;
}

TEST(Schemes, VerbsUseOnlyHttpAndStreamsOnlyWebSocketAndNothingIsPrinted) {
  ScriptedPeer peer;
  peer.setDefault(ScriptedAnswer::status_only(426, "Upgrade Required"));
  const std::string http_base = peer.baseUrl();
  const std::string bare = http_base.substr(std::string("http://").size());  // "127.0.0.1:P/"

  // An http:// WebSocket base URL never runs a plain transfer.
  IsaacSimClient http_streams("", http_base, http_base, milliseconds(5000), 0);
  std::string text;
  long status = -1;
  const std::string printed_by_stream = standardOutputOf([&] {
    try {
      http_streams.openJointPositionStream("r1");
    } catch (const HandshakeError& e) {
      text = e.what();
      status = e.statusCode();
    }
  });
  EXPECT_EQ(text, "WebSocket handshake failed for " + http_base +
                      "articulations/r1/stream_joint_positions: Unsupported protocol");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(peer.requestCount(), 0u);

  // Without a scheme, a stream URL is read as ws and a verb's as http.
  IsaacSimClient bare_client("", bare, bare, milliseconds(5000), 0);
  const std::string printed_by_bare = standardOutputOf([&] {
    EXPECT_EQ(bare_client.get("x").status, 426);
    EXPECT_THROW(bare_client.openJointPositionStream("r2"), HandshakeError);
  });
  const auto requests = peer.requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/x");
  EXPECT_FALSE(requests[0].header("Upgrade").has_value());
  EXPECT_EQ(requests[1].target, "/articulations/r2/stream_joint_positions");
  EXPECT_EQ(requests[1].header("Upgrade"), std::optional<std::string>("websocket"));

  // A file:// base URL reads no file.
  char directory[] = "/tmp/strandel_scheme_XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string secret_path = std::string(directory) + "/secret";
  std::ofstream(secret_path) << "local file contents";
  IsaacSimClient files("", std::string("file://") + directory, "ws://127.0.0.1:1/",
                       milliseconds(5000), 0);
  const std::string printed_by_file = standardOutputOf([&] {
    EXPECT_EQ(thrownText<std::runtime_error>([&] { files.get("secret"); }),
              "HTTP request failed: Unsupported protocol");
  });
  ::unlink(secret_path.c_str());
  ::rmdir(directory);

  EXPECT_EQ(printed_by_stream, "");
  EXPECT_EQ(printed_by_bare, "");
  EXPECT_EQ(printed_by_file, "");
}

HandshakeError handshakeErrorOf(const std::function<void()>& open) {
  try {
    open();
  } catch (const HandshakeError& e) {
    return e;
  }
  return HandshakeError("<none>", "no HandshakeError was thrown", -1, "");
}

TEST(StreamHandshake, ARefusalIsOneRequestThatKeepsItsStatus) {
  ScriptedPeer peer;
  peer.setDefault(ScriptedAnswer::json(404, "articulation 'nope' not found"));
  IsaacSimClient client("", "http://127.0.0.1:1/", peer.wsBaseUrl(), milliseconds(5000), 0);
  const std::string url = peer.wsBaseUrl() + "articulations/nope/stream_joint_positions";
  const HandshakeError refused = handshakeErrorOf([&] { client.openJointPositionStream("nope"); });
  EXPECT_EQ(std::string(refused.what()),
            "WebSocket handshake failed for " + url + ": HTTP response code said error");
  EXPECT_EQ(refused.url(), url);
  EXPECT_EQ(refused.statusCode(), 404);
  // body() is what libcurl handed on of the refusal, if anything: never other bytes.
  const std::string served = "articulation 'nope' not found";
  EXPECT_EQ(served.substr(0, refused.body().size()), refused.body());
  // The upgrade alone: nothing is asked again to read the refusal's body.
  const auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].header("Upgrade").has_value());

  // A long body never changes the failure nor grows the error past its cap.
  ScriptedPeer big;
  big.setDefault(ScriptedAnswer::status_only(400, std::string(200000, 'b')));
  IsaacSimClient c3("", "http://127.0.0.1:1/", big.wsBaseUrl(), milliseconds(5000), 0);
  const HandshakeError capped = handshakeErrorOf([&] { c3.openJointPositionStream("a"); });
  EXPECT_EQ(capped.statusCode(), 400);
  EXPECT_LE(capped.body().size(), HandshakeError::kMaxBodyBytes);
  EXPECT_EQ(capped.body(), std::string(capped.body().size(), 'b'));
  EXPECT_EQ(big.requestCount(), 1u);

  // No answer at all: no status, no body, and still a std::runtime_error.
  const std::string refused_base =
      "ws://127.0.0.1:" + std::to_string(testing_util::unusedPort()) + "/";
  IsaacSimClient c4("", "http://127.0.0.1:1/", refused_base, milliseconds(5000), 0);
  const HandshakeError unanswered = handshakeErrorOf([&] { c4.openJointPositionStream("a"); });
  EXPECT_EQ(unanswered.statusCode(), 0);
  EXPECT_EQ(unanswered.body(), "");
  EXPECT_EQ(thrownText<std::runtime_error>([&] { c4.openJointPositionStream("a"); }),
            "WebSocket handshake failed for " + refused_base +
                "articulations/a/stream_joint_positions: Could not connect to server");
}

TEST(StreamHandshake, TheInterruptCheckEndsAPendingHandshakeWithItsException) {
  ScriptedPeer stalling;
  ScriptedAnswer stall;
  stall.action = ScriptedAnswer::Action::Stall;
  stalling.setDefault(stall);
  ClientOptions options;
  options.timeout = milliseconds(20000);
  const auto start = std::chrono::steady_clock::now();
  options.interrupt_check = [start] {
    if (std::chrono::steady_clock::now() - start > milliseconds(200)) throw Interrupted();
  };
  IsaacSimClient client("", "http://127.0.0.1:1/", stalling.wsBaseUrl(), options);
  EXPECT_EQ(thrownText<Interrupted>([&] { client.openJointPositionStream("r1"); }),
            "interrupted by the test");
  // Well before the time-out: libcurl polls the check at least once a second while it waits.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(stalling.requestCount(), 1u);
}

TEST(ClientConfig, WebSocketUrlForSwapsOnlyAnHttpSchemeOfAnyCase) {
  EXPECT_EQ(websocketUrlFor("http://h:8211/"), "ws://h:8211/");
  EXPECT_EQ(websocketUrlFor("https://h/x?q=http:"), "wss://h/x?q=http:");
  EXPECT_EQ(websocketUrlFor("HTTP://h"), "ws://h");
  EXPECT_EQ(websocketUrlFor("HtTpS:h"), "wss:h");
  for (const char* unchanged :
       {"", "h:8211", "ws://h", "httpx://h", "htt://h", "h/http://x", "//h", "file:///http"})
    EXPECT_EQ(websocketUrlFor(unchanged), unchanged) << unchanged;
}

TEST(ClientConfig, VersionIsTheProjectsThreeNumbers) {
  EXPECT_TRUE(std::regex_match(std::string(version()),
                               std::regex("(0|[1-9][0-9]*)(\\.(0|[1-9][0-9]*)){2}")))
      << version();
}

}  // namespace
}  // namespace strandel
