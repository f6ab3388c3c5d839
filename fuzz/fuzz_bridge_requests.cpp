// libFuzzer target: arbitrary bytes as one request to the stand-in bridge, taken through its
// entries as the server hands it over. The input is "METHOD TARGET BODY" (split at the first two
// spaces) for an HTTP request, or "STREAM TARGET TEXT" for a message on the stream at TARGET.
// Each input meets a fresh bridge holding an articulation "arm", a surface gripper "g" and a
// camera "cam". Every request must be answered exactly once (a waited-for motion after the
// clock's next step), with a 2xx or 4xx whose body is JSON text (a camera frame aside) and, for a
// 4xx, an error body; a stream is refused with a 4xx error body, or takes the message or refuses
// it with one, and then sends JSON text. A crash, a leak, a sanitizer report, an exception out of
// the bridge or a 5xx is a finding.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "bridge.hpp"

namespace {

using namespace strandel::mock_bridge;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "bridge request fuzz check failed: %s\n", what);
    std::abort();
  }
}

/// A JSON answer as the stand-in may send it: a 5xx would make clients retry a request that can
/// never succeed.
void checkJsonAnswer(int status, const std::string& text) {
  require(status >= 200 && status < 500, "a status outside 2xx and 4xx");
  require(json::accept(text), "an answer that is not JSON text");
  if (status < 400) return;
  const json body = json::parse(text);
  require(body.is_object() && body.value("status", 0) == status && body.contains("error") &&
              body["error"].is_string(),
          "an error answer without its status and message");
}

/// A URDF file a request names is read, so it must be small; one step of the clock is 1000
/// simulated seconds, which ends any motion or gripper transition.
Options fuzzOptions() {
  Options options;
  options.max_urdf_bytes = 64 * 1024;
  options.physics_rate = 0.001;
  return options;
}

/// The bridge a client meets after creating one resource of each kind.
void furnish(Bridge& bridge) {
  for (const auto& [collection, body] :
       {std::pair("/articulations", R"({"prim_path":"/World/arm","urdf_path":null})"),
        std::pair("/surface_grippers", R"({"prim_path":"/World/g"})"),
        std::pair("/cameras", R"({"prim_path":"/World/cam","resolution":[8,6]})")})
    bridge.handle(Request{"PUT", collection, body}, [](Reply reply) {
      require(reply.status == 201, "a resource of the furnished bridge was not created");
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find(' ');
  if (first == std::string_view::npos) return 0;
  const std::size_t second = input.find(' ', first + 1);
  const std::string method(input.substr(0, first));
  const std::string target(input.substr(
      first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1));
  const std::string body(second == std::string_view::npos ? "" : input.substr(second + 1));

  static const Options options = fuzzOptions();
  Bridge bridge(options);
  furnish(bridge);
  if (method == "STREAM") {
    const Bridge::Opening opening = bridge.openStream(target);
    if (!opening.stream) {
      require(opening.refusal.status == 404, "a stream refused with another status than 404");
      checkJsonAnswer(opening.refusal.status, opening.refusal.body);
      return 0;
    }
    if (const std::optional<std::string> refusal = opening.stream->receive(body)) {
      require(json::accept(*refusal), "a refusal that is not JSON text");
      const int status = json::parse(*refusal).value("status", 0);
      require(status >= 400, "a refusal without an error status");
      checkJsonAnswer(status, *refusal);
    }
    require(json::accept(opening.stream->next()), "a stream message that is not JSON text");
    return 0;
  }
  int answers = 0;
  bridge.handle(Request{method, target, body}, [&answers](Reply reply) {
    ++answers;
    if (reply.content_type == "application/json")
      checkJsonAnswer(reply.status, reply.body);
    else
      require(reply.status == 200 && reply.body.rfind("QXB1", 0) == 0,
              "a binary answer that is not a camera frame");
  });
  require(answers <= 1, "a request answered more than once");
  const Bridge::Clock::time_point start{};
  bridge.tick(start);                               // starts the clock
  bridge.tick(start + std::chrono::seconds(1000));  // one step: ends any motion it waits for
  require(answers == 1, "a request never answered");
  return 0;
}
