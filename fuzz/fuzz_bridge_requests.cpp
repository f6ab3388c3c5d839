// libFuzzer target: arbitrary bytes as one request to the stand-in bridge, taken through its
// router and world as the server hands it over. The input is "METHOD TARGET BODY" (split at the
// first two spaces) for an HTTP request, or "STREAM TARGET TEXT" for a message on the stream at
// TARGET. Each input meets a fresh world holding an articulation "arm", a surface gripper "g" and
// a camera "cam". Every request must be answered exactly once (a waited-for motion after the
// world has stepped), with a 2xx or 4xx whose body is JSON text (a camera frame aside) and, for a
// 4xx, an error body; a stream message is applied or refused with a 4xx error body. A crash, a
// leak, a sanitizer report, an exception out of the router or a 5xx is a finding.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "router.hpp"
#include "world.hpp"

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

/// The world a client meets after creating one resource of each kind.
void furnish(World& world) {
  world.createArticulation(CreateArticulation{"/World/arm", std::nullopt});
  world.createGripper(CreateGripper{"/World/g"});
  world.createCamera(CreateCamera{"/World/cam", Resolution{8, 6}, 30.0});
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

  World world(WorldSettings{1.5, 0.25, 64 * 1024});  // a URDF file a request names is read: small
  furnish(world);
  Router router(world);
  if (method == "STREAM") {
    const std::optional<StreamRoute> route = matchStreamRoute(target);
    if (!route || !world.serial(route->articulation_id)) return 0;  // the upgrade is refused
    if (const std::optional<std::string> refusal =
            router.answerStreamMessage(route->articulation_id, body)) {
      require(json::accept(*refusal), "a refusal that is not JSON text");
      const int status = json::parse(*refusal).value("status", 0);
      require(status >= 400, "a refusal without an error status");
      checkJsonAnswer(status, *refusal);
    }
    return 0;
  }
  int answers = 0;
  router.handle(Request{method, target, body}, [&answers](Reply reply) {
    ++answers;
    if (reply.content_type == "application/json")
      checkJsonAnswer(reply.status, reply.body);
    else
      require(reply.status == 200 && reply.body.rfind("QXB1", 0) == 0,
              "a binary answer that is not a camera frame");
  });
  require(answers <= 1, "a request answered more than once");
  world.step(1000.0);  // ends any motion or gripper transition the request waits for
  require(answers == 1, "a request never answered");
  return 0;
}
