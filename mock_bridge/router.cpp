#include "router.hpp"

#include <algorithm>

namespace strandel::mock_bridge {
namespace {

/// The path segments of `target` after its one leading '/', without query or fragment. Empty
/// segments are kept, so "/articulations//x" does not reach the same endpoint as
/// "/articulations/x".
std::vector<std::string> splitPath(std::string_view target) {
  target = target.substr(0, target.find_first_of("?#"));
  if (!target.empty() && target.front() == '/') target.remove_prefix(1);
  std::vector<std::string> segments;
  if (target.empty()) return segments;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = target.find('/', start);
    segments.emplace_back(target.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return segments;
}

/// The request body as JSON; an empty body (or one of only whitespace) counts as {}.
json parseBody(const std::string& body) {
  if (std::all_of(body.begin(), body.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }))
    return json::object();
  try {
    return json::parse(body);
  } catch (const json::parse_error& e) {
    throw ApiError(400, std::string("malformed JSON: ") + e.what());
  }
}

struct Endpoint {
  std::string_view method;
  std::function<void()> run;
};

}  // namespace

Reply jsonReply(int status, const json& body) {
  Reply reply;
  reply.status = status;
  reply.body = body.dump();
  return reply;
}

std::optional<StreamRoute> matchStreamRoute(std::string_view target) {
  const std::vector<std::string> segments = splitPath(target);
  if (segments.size() != 3 || segments[0] != "articulations") return std::nullopt;
  if (segments[2] == "stream_joint_positions") return StreamRoute{segments[1], StreamKind::JointPositions};
  if (segments[2] == "stream_articulation_state") return StreamRoute{segments[1], StreamKind::ArticulationState};
  return std::nullopt;
}

void Router::handle(const Request& request, const Respond& respond) {
  try {
    route(request, respond);
  } catch (const ApiError& e) {
    respond(jsonReply(e.status(), errorBody(e.status(), e.what())));
  } catch (const std::exception& e) {
    respond(jsonReply(500, errorBody(500, std::string("internal error: ") + e.what())));
  }
}

void Router::route(const Request& request, const Respond& respond) {
  const std::vector<std::string> segments = splitPath(request.target);
  const auto body = [&] { return parseBody(request.body); };
  const auto ok = [&](const json& answer) { respond(jsonReply(200, answer)); };
  const auto created = [&](const Answer& answer) { respond(jsonReply(answer.status, answer.body)); };
  const auto removed = [&](const char* key, const std::string& id) {
    ok(json{{key, id}, {"removed", true}});
  };
  const auto finish = [&](const Started& started, auto&& waitFor) {
    if (!started.wait) {
      ok(started.answer);
      return;
    }
    Respond later = respond;
    waitFor([later](int status, const json& answer) { later(jsonReply(status, answer)); });
  };

  std::vector<Endpoint> endpoints;
  const std::size_t n = segments.size();
  const std::string collection = n > 0 ? segments[0] : std::string();
  const std::string id = n > 1 ? segments[1] : std::string();
  const std::string action = n > 2 ? segments[2] : std::string();
  World& w = world_;

  if (n == 0) {
    endpoints.push_back({"GET", [&] { ok(w.overview()); }});
  } else if (collection == "articulations") {
    if (n == 1) {
      endpoints.push_back({"PUT", [&] { created(w.createArticulation(body())); }});
    } else if (n == 2) {
      endpoints.push_back({"GET", [&] { ok(w.describeArticulation(id)); }});
      endpoints.push_back({"DELETE", [&] {
                             w.removeArticulation(id);
                             removed("articulation_id", id);
                           }});
    } else if (n == 3) {
      if (action == "assemble_robot") {
        endpoints.push_back({"POST", [&] { ok(w.assembleRobot(id, body())); }});
      } else if (action == "dof_limits") {
        endpoints.push_back({"GET", [&] { ok(w.dofLimits(id)); }});
      } else if (action == "driver_joint") {
        endpoints.push_back({"GET", [&] { ok(w.driverJoint(id)); }});
      } else if (action == "joints_state") {
        endpoints.push_back({"GET", [&] { ok(w.jointsState(id)); }});
      } else if (action == "set_j") {
        endpoints.push_back({"POST", [&] { ok(w.setJointPositions(id, body())); }});
      } else if (action == "move_j") {
        endpoints.push_back({"POST", [&] {
                               finish(w.moveJointPositions(id, body()),
                                      [&](Completion done) { w.whenArticulationSettled(id, std::move(done)); });
                             }});
      } else if (action == "driven_joints") {
        endpoints.push_back({"PUT", [&] { ok(w.setDrivenJoints(id, body())); }});
      } else if (action == "stream_joint_positions" || action == "stream_articulation_state") {
        endpoints.push_back({"GET", [&] {
                               w.describeArticulation(id);
                               throw ApiError(426, "this endpoint is a WebSocket stream; send an upgrade request");
                             }});
      }
    }
  } else if (collection == "surface_grippers") {
    if (n == 1) {
      endpoints.push_back({"PUT", [&] { created(w.createGripper(body())); }});
    } else if (n == 2) {
      endpoints.push_back({"GET", [&] { ok(w.gripper(id)); }});
      endpoints.push_back({"DELETE", [&] {
                             w.removeGripper(id);
                             removed("surface_gripper_id", id);
                           }});
    } else if (n == 3) {
      if (action == "status") {
        endpoints.push_back({"GET", [&] { ok(w.gripperStatus(id)); }});
      } else if (action == "properties") {
        endpoints.push_back({"GET", [&] { ok(w.gripperProperties(id)); }});
        endpoints.push_back({"PATCH", [&] { ok(w.patchGripperProperties(id, body())); }});
      } else if (action == "attachment_points") {
        endpoints.push_back({"GET", [&] { ok(w.attachmentPoints(id)); }});
        endpoints.push_back({"PATCH", [&] { ok(w.patchAttachmentPoints(id, body())); }});
      } else if (action == "open" || action == "close") {
        endpoints.push_back({"POST", [&] {
                               const json b = body();
                               finish(action == "open" ? w.openGripper(id, b) : w.closeGripper(id, b),
                                      [&](Completion done) { w.whenGripperSettled(id, std::move(done)); });
                             }});
      }
    }
  } else if (collection == "cameras") {
    if (n == 1) {
      endpoints.push_back({"PUT", [&] { created(w.createCamera(body())); }});
    } else if (n == 2) {
      endpoints.push_back({"GET", [&] { ok(w.describeCamera(id)); }});
      endpoints.push_back({"DELETE", [&] {
                             w.removeCamera(id);
                             removed("camera_id", id);
                           }});
    } else if (n == 3 && action == "capture") {
      endpoints.push_back({"POST", [&] {
                             Reply reply;
                             reply.content_type = "application/octet-stream";
                             reply.body = w.capture(id, body());
                             respond(std::move(reply));
                           }});
    }
  }

  if (endpoints.empty()) {
    const std::string path = request.target.substr(0, request.target.find_first_of("?#"));
    throw ApiError(404, "no endpoint at " + path);
  }
  for (const Endpoint& endpoint : endpoints) {
    if (endpoint.method == request.method) {
      endpoint.run();
      return;
    }
  }
  std::string allow;
  for (const Endpoint& endpoint : endpoints) allow += (allow.empty() ? "" : ", ") + std::string(endpoint.method);
  Reply reply = jsonReply(405, errorBody(405, "method " + request.method + " is not allowed here; use " + allow));
  reply.headers.emplace_back("Allow", allow);
  respond(std::move(reply));
}

}  // namespace strandel::mock_bridge
