#include "router.hpp"

#include <utility>

#include "body_reader.hpp"
#include "command_reader.hpp"

namespace strandel::mock_bridge {
namespace {

/// A world check that throws ApiError 404 for an unknown identifier.
using Require = void (World::*)(const std::string& id) const;

void answer(const Call& call, const json& body) { call.respond(jsonReply(200, body)); }
void answer(const Call& call, const Answer& created) {
  call.respond(jsonReply(created.status, created.body));
}

/// {"<key>": id, "removed": true}.
void answerRemoved(const Call& call, const char* key) {
  answer(call, json{{key, call.param("id")}, {"removed", true}});
}

/// Answers `started` at once, or, when the caller waits for the end, through the completion that
/// `waitFor` is given.
template <typename WaitFor>
void answerWhenDone(const Call& call, const Started& started, WaitFor waitFor) {
  if (!started.wait) {
    answer(call, started.answer);
    return;
  }
  Respond later = call.respond;
  waitFor([later](int status, const json& body) { later(jsonReply(status, body)); });
}

/// The body of a create, read by `read`: 400 when it is not JSON, then what `read` refuses.
template <typename Read>
auto readBody(const Call& call, Read read) {
  return read(parseRequestBody(call.request.body));
}

/// The body of a call on the resource named by the path's {id}, read by `read`: 400 when it is
/// not JSON, then 404 when `require` finds no such resource, then what `read` refuses.
template <typename Read>
auto readBodyFor(const Call& call, const World& world, Require require, Read read) {
  const json body = parseRequestBody(call.request.body);
  (world.*require)(call.param("id"));
  return read(body);
}

/// The reply to the exception being handled: its status and message for an ApiError, 500 for
/// anything else (something unforeseen). Rethrows what is not a std::exception.
Reply failureReply() {
  try {
    throw;
  } catch (const ApiError& e) {
    return jsonReply(e.status(), errorBody(e.status(), e.what()));
  } catch (const std::exception& e) {
    return jsonReply(500, errorBody(500, std::string("internal error: ") + e.what()));
  }
}

}  // namespace

std::optional<StreamRoute> matchStreamRoute(std::string_view target) {
  static const PathPattern kJointPositions("/articulations/{id}/stream_joint_positions");
  static const PathPattern kArticulationState("/articulations/{id}/stream_articulation_state");
  const std::vector<std::string> segments = splitPath(target);
  if (auto params = kJointPositions.match(segments))
    return StreamRoute{params->at("id"), StreamKind::JointPositions};
  if (auto params = kArticulationState.match(segments))
    return StreamRoute{params->at("id"), StreamKind::ArticulationState};
  return std::nullopt;
}

Router::Router(World& world) : world_(world) {
  routes_.add("GET", "/", [&w = world_](const Call& c) { answer(c, w.overview()); });
  addArticulationRoutes();
  addGripperRoutes();
  addCameraRoutes();
}

void Router::addArticulationRoutes() {
  routes_.add("PUT", "/articulations", [&w = world_](const Call& c) {
    answer(c, w.createArticulation(readBody(c, readCreateArticulation)));
  });
  routes_.add("GET", "/articulations/{id}",
              [&w = world_](const Call& c) { answer(c, w.describeArticulation(c.param("id"))); });
  routes_.add("DELETE", "/articulations/{id}", [&w = world_](const Call& c) {
    w.removeArticulation(c.param("id"));
    answerRemoved(c, "articulation_id");
  });
  routes_.add("POST", "/articulations/{id}/assemble_robot", [&w = world_](const Call& c) {
    const std::string& id = c.param("id");
    const MountChecks checks{[&w](const std::string& gripper_id) { w.requireGripper(gripper_id); },
                             [&w, &id](const std::string& link) { w.requireLink(id, link); }};
    const AssembleRobot command =
        readBodyFor(c, w, &World::requireArticulation,
                    [&](const json& body) { return readAssembleRobot(body, checks); });
    answer(c, w.assembleRobot(id, command));
  });
  routes_.add("GET", "/articulations/{id}/dof_limits",
              [&w = world_](const Call& c) { answer(c, w.dofLimits(c.param("id"))); });
  routes_.add("GET", "/articulations/{id}/driver_joint",
              [&w = world_](const Call& c) { answer(c, w.driverJoint(c.param("id"))); });
  routes_.add("GET", "/articulations/{id}/joints_state",
              [&w = world_](const Call& c) { answer(c, w.jointsState(c.param("id"))); });
  routes_.add("POST", "/articulations/{id}/set_j", [&w = world_](const Call& c) {
    const JointTargets command = readBodyFor(c, w, &World::requireArticulation, readJointTargets);
    answer(c, w.setJointPositions(c.param("id"), command));
  });
  routes_.add("POST", "/articulations/{id}/move_j", [&w = world_](const Call& c) {
    const std::string& id = c.param("id");
    const MoveJoints command = readBodyFor(c, w, &World::requireArticulation, readMoveJoints);
    answerWhenDone(c, w.moveJointPositions(id, command),
                   [&](Completion done) { w.whenArticulationSettled(id, std::move(done)); });
  });
  routes_.add("PUT", "/articulations/{id}/driven_joints", [&w = world_](const Call& c) {
    const DrivenJoints command = readBodyFor(c, w, &World::requireArticulation, readDrivenJoints);
    answer(c, w.setDrivenJoints(c.param("id"), command));
  });
  for (const char* stream : {"/articulations/{id}/stream_joint_positions",
                             "/articulations/{id}/stream_articulation_state"}) {
    routes_.add("GET", stream, [&w = world_](const Call& c) {
      w.requireArticulation(c.param("id"));
      throw ApiError(426, "this endpoint is a WebSocket stream; send an upgrade request");
    });
  }
}

void Router::addGripperRoutes() {
  routes_.add("PUT", "/surface_grippers", [&w = world_](const Call& c) {
    answer(c, w.createGripper(readBody(c, readCreateGripper)));
  });
  routes_.add("GET", "/surface_grippers/{id}",
              [&w = world_](const Call& c) { answer(c, w.gripper(c.param("id"))); });
  routes_.add("DELETE", "/surface_grippers/{id}", [&w = world_](const Call& c) {
    w.removeGripper(c.param("id"));
    answerRemoved(c, "surface_gripper_id");
  });
  routes_.add("GET", "/surface_grippers/{id}/status",
              [&w = world_](const Call& c) { answer(c, w.gripperStatus(c.param("id"))); });
  routes_.add("GET", "/surface_grippers/{id}/properties",
              [&w = world_](const Call& c) { answer(c, w.gripperProperties(c.param("id"))); });
  routes_.add("PATCH", "/surface_grippers/{id}/properties", [&w = world_](const Call& c) {
    const GripperPropertiesPatch patch =
        readBodyFor(c, w, &World::requireGripper, readGripperPropertiesPatch);
    answer(c, w.patchGripperProperties(c.param("id"), patch));
  });
  routes_.add("GET", "/surface_grippers/{id}/attachment_points",
              [&w = world_](const Call& c) { answer(c, w.attachmentPoints(c.param("id"))); });
  routes_.add("PATCH", "/surface_grippers/{id}/attachment_points", [&w = world_](const Call& c) {
    const AttachmentPointsPatch patch =
        readBodyFor(c, w, &World::requireGripper, readAttachmentPointsPatch);
    answer(c, w.patchAttachmentPoints(c.param("id"), patch));
  });
  for (const bool close : {false, true}) {
    routes_.add("POST", close ? "/surface_grippers/{id}/close" : "/surface_grippers/{id}/open",
                [&w = world_, close](const Call& c) {
                  const std::string& id = c.param("id");
                  const GripperMotion command =
                      readBodyFor(c, w, &World::requireGripper, readGripperMotion);
                  answerWhenDone(
                      c, close ? w.closeGripper(id, command) : w.openGripper(id, command),
                      [&](Completion done) { w.whenGripperSettled(id, std::move(done)); });
                });
  }
}

void Router::addCameraRoutes() {
  routes_.add("PUT", "/cameras", [&w = world_](const Call& c) {
    answer(c, w.createCamera(readBody(c, readCreateCamera)));
  });
  routes_.add("GET", "/cameras/{id}",
              [&w = world_](const Call& c) { answer(c, w.describeCamera(c.param("id"))); });
  routes_.add("DELETE", "/cameras/{id}", [&w = world_](const Call& c) {
    w.removeCamera(c.param("id"));
    answerRemoved(c, "camera_id");
  });
  routes_.add("POST", "/cameras/{id}/capture", [&w = world_](const Call& c) {
    const Capture command = readBodyFor(c, w, &World::requireCamera, readCapture);
    Reply reply;
    reply.content_type = "application/octet-stream";
    reply.body = w.capture(c.param("id"), command);
    c.respond(std::move(reply));
  });
}

void Router::handle(const Request& request, const Respond& respond) {
  try {
    routes_.dispatch(request, respond);
  } catch (const std::exception&) {
    respond(failureReply());
  }
}

void Router::applyStreamMessage(const std::string& articulation_id, const std::string& text) {
  world_.requireArticulation(articulation_id);
  const JointTargets targets = readJointTargets(parseMessage(text));
  world_.applyStreamTargets(articulation_id, targets);
}

std::optional<std::string> Router::answerStreamMessage(const std::string& articulation_id,
                                                       const std::string& text) {
  try {
    applyStreamMessage(articulation_id, text);
    return std::nullopt;
  } catch (const std::exception&) {
    return failureReply().body;
  }
}

}  // namespace strandel::mock_bridge
