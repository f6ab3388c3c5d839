#include "bridge.hpp"

#include <utility>

#include "body_reader.hpp"
#include "command_reader.hpp"

namespace strandel::mock_bridge {
namespace {

void answer(const Call& call, const json& body) { call.respond(jsonReply(200, body)); }
void answer(const Call& call, const Answer& created) {
  call.respond(jsonReply(created.status, created.body));
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

/// The body of a call on the resource named by the path's {id}, read by `read`: 400 when it is
/// not JSON, then 404 when `resources` hold no such resource, then what `read` refuses.
template <typename Resources, typename Read>
auto readBodyFor(const Call& call, const Resources& resources, Read read) {
  const json body = parseRequestBody(call.request.body);
  resources.require(call.param("id"));
  return read(body);
}

/// The routes of every kind of resource: PUT `collection` creates one from the body `read` reads
/// (400 when it is not JSON, then what `read` refuses); GET and DELETE `collection`/{id} describe
/// and remove one, DELETE answering {"<key>": id, "removed": true}.
template <typename Resources, typename Read>
void addResourceRoutes(RouteTable& routes, const std::string& collection, Resources& resources,
                       Read read, const char* key) {
  routes.add("PUT", collection, [&, read](const Call& c) {
    answer(c, resources.create(read(parseRequestBody(c.request.body))));
  });
  routes.add("GET", collection + "/{id}",
             [&](const Call& c) { answer(c, resources.describe(c.param("id"))); });
  routes.add("DELETE", collection + "/{id}", [&, key](const Call& c) {
    resources.remove(c.param("id"));
    answer(c, json{{key, c.param("id")}, {"removed", true}});
  });
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

/// The articulation and kind of a stream endpoint path, or none for another path.
std::optional<std::pair<std::string, StreamKind>> matchStreamRoute(std::string_view target) {
  static const PathPattern kJointPositions("/articulations/{id}/stream_joint_positions");
  static const PathPattern kArticulationState("/articulations/{id}/stream_articulation_state");
  const std::vector<std::string> segments = splitPath(target);
  if (auto params = kJointPositions.match(segments))
    return std::pair(params->at("id"), StreamKind::JointPositions);
  if (auto params = kArticulationState.match(segments))
    return std::pair(params->at("id"), StreamKind::ArticulationState);
  return std::nullopt;
}

void addArticulationRoutes(RouteTable& routes, Articulations& arms, Grippers& grippers) {
  addResourceRoutes(routes, "/articulations", arms, readCreateArticulation, "articulation_id");
  routes.add("POST", "/articulations/{id}/assemble_robot", [&arms, &grippers](const Call& c) {
    const std::string& id = c.param("id");
    const MountChecks checks{[&](const std::string& gripper_id) { grippers.require(gripper_id); },
                             [&](const std::string& link) { arms.requireLink(id, link); }};
    const AssembleRobot command =
        readBodyFor(c, arms, [&](const json& body) { return readAssembleRobot(body, checks); });
    answer(c, arms.assemble(id, command));
  });
  routes.add("GET", "/articulations/{id}/dof_limits",
             [&arms](const Call& c) { answer(c, arms.dofLimits(c.param("id"))); });
  routes.add("GET", "/articulations/{id}/driver_joint",
             [&arms](const Call& c) { answer(c, arms.driverJoint(c.param("id"))); });
  routes.add("GET", "/articulations/{id}/joints_state",
             [&arms](const Call& c) { answer(c, arms.jointsState(c.param("id"))); });
  routes.add("POST", "/articulations/{id}/set_j", [&arms](const Call& c) {
    const JointTargets command = readBodyFor(c, arms, readJointTargets);
    answer(c, arms.setJointPositions(c.param("id"), command));
  });
  routes.add("POST", "/articulations/{id}/move_j", [&arms](const Call& c) {
    const std::string& id = c.param("id");
    const MoveJoints command = readBodyFor(c, arms, readMoveJoints);
    answerWhenDone(c, arms.moveJointPositions(id, command),
                   [&](Completion done) { arms.whenSettled(id, std::move(done)); });
  });
  routes.add("PUT", "/articulations/{id}/driven_joints", [&arms](const Call& c) {
    const DrivenJoints command = readBodyFor(c, arms, readDrivenJoints);
    answer(c, arms.setDrivenJoints(c.param("id"), command));
  });
  for (const char* stream : {"/articulations/{id}/stream_joint_positions",
                             "/articulations/{id}/stream_articulation_state"}) {
    routes.add("GET", stream, [&arms](const Call& c) {
      arms.require(c.param("id"));
      throw ApiError(426, "this endpoint is a WebSocket stream; send an upgrade request");
    });
  }
}

void addGripperRoutes(RouteTable& routes, Grippers& grippers) {
  addResourceRoutes(routes, "/surface_grippers", grippers, readCreateGripper, "surface_gripper_id");
  routes.add("GET", "/surface_grippers/{id}/status",
             [&grippers](const Call& c) { answer(c, grippers.status(c.param("id"))); });
  routes.add("GET", "/surface_grippers/{id}/properties",
             [&grippers](const Call& c) { answer(c, grippers.properties(c.param("id"))); });
  routes.add("PATCH", "/surface_grippers/{id}/properties", [&grippers](const Call& c) {
    const GripperPropertiesPatch patch = readBodyFor(c, grippers, readGripperPropertiesPatch);
    answer(c, grippers.patchProperties(c.param("id"), patch));
  });
  routes.add("GET", "/surface_grippers/{id}/attachment_points",
             [&grippers](const Call& c) { answer(c, grippers.attachmentPoints(c.param("id"))); });
  routes.add("PATCH", "/surface_grippers/{id}/attachment_points", [&grippers](const Call& c) {
    const AttachmentPointsPatch patch = readBodyFor(c, grippers, readAttachmentPointsPatch);
    answer(c, grippers.patchAttachmentPoints(c.param("id"), patch));
  });
  for (const bool close : {false, true}) {
    routes.add("POST", close ? "/surface_grippers/{id}/close" : "/surface_grippers/{id}/open",
               [&grippers, close](const Call& c) {
                 const std::string& id = c.param("id");
                 const GripperMotion command = readBodyFor(c, grippers, readGripperMotion);
                 answerWhenDone(c, grippers.operate(id, command, close), [&](Completion done) {
                   grippers.whenSettled(id, std::move(done));
                 });
               });
  }
}

void addCameraRoutes(RouteTable& routes, Cameras& cameras) {
  addResourceRoutes(routes, "/cameras", cameras, readCreateCamera, "camera_id");
  routes.add("POST", "/cameras/{id}/capture", [&cameras](const Call& c) {
    const Capture command = readBodyFor(c, cameras, readCapture);
    Reply reply;
    reply.content_type = "application/octet-stream";
    reply.body = cameras.capture(c.param("id"), command);
    c.respond(std::move(reply));
  });
}

}  // namespace

Bridge::Bridge(const Options& options)
    : world_(WorldSettings{options.joint_speed, options.gripper_time, options.max_urdf_bytes}),
      stepSeconds_(1.0 / options.physics_rate),
      period_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(stepSeconds_))) {
  routes_.add("GET", "/", [&w = world_](const Call& c) { answer(c, w.overview()); });
  addArticulationRoutes(routes_, world_.articulations, world_.grippers);
  addGripperRoutes(routes_, world_.grippers);
  addCameraRoutes(routes_, world_.cameras);
}

void Bridge::handle(const Request& request, const Respond& respond) {
  try {
    routes_.dispatch(request, respond);
  } catch (const std::exception&) {
    respond(failureReply());
  }
}

Bridge::Opening Bridge::openStream(std::string_view target) {
  const auto route = matchStreamRoute(target);
  std::optional<std::uint64_t> serial;
  if (route) serial = world_.articulations.serial(route->first);
  if (serial) return {std::make_unique<Stream>(*this, route->first, route->second, *serial), {}};
  const std::string message = route ? "articulation '" + route->first + "' not found"
                                    : "no stream at " + std::string(target);
  return {nullptr, jsonReply(404, errorBody(404, message))};
}

Bridge::Clock::time_point Bridge::tick(Clock::time_point now) {
  if (!nextStep_) return *(nextStep_ = now + period_);
  if (now < *nextStep_) return *nextStep_;
  world_.step(stepSeconds_);
  *nextStep_ += period_;
  if (*nextStep_ + period_ * 8 < now) nextStep_ = now;
  return *nextStep_;
}

std::string Bridge::Stream::next() {
  return jsonText(bridge_.world_.articulations.streamMessage(id_, kind_, sequence_++));
}

std::optional<std::string> Bridge::Stream::receive(const std::string& text) {
  try {
    bridge_.world_.articulations.require(id_);
    bridge_.world_.articulations.applyStreamTargets(id_, readJointTargets(parseMessage(text)));
    return std::nullopt;
  } catch (const std::exception&) {
    return failureReply().body;
  }
}

}  // namespace strandel::mock_bridge
