// The Articulation facade. Every articulation body carries all of its keys; an empty optional is
// written as null, never left out. Each HTTP member builds its body, serialises it with the shared
// body writer (so invalid UTF-8 throws before anything is sent), makes exactly one request through
// the client and checks the answer (requestJson). The stream members build no path and
// send no request: the identifier goes unchanged to the client's stream openers, and the opened
// stream is moved to the caller.

#include <optional>
#include <string_view>
#include <vector>

#include <strandel/client.hpp>

#include "client/json_body.hpp"
#include "client/resource_path.hpp"
#include "client/transport.hpp"

namespace strandel {
namespace {

using detail::valueOrNull;

constexpr std::string_view kCollection = "articulations";

/// The articulation path "/articulations/" + id + suffix, the identifier inserted verbatim.
std::string articulationPath(std::string_view articulation_id, std::string_view suffix) {
  return detail::resourcePath(kCollection, articulation_id, suffix);
}

/// The body shared by set_j and move_j: positions as doubles, indices as integers or null.
json jointPositionsBody(const std::vector<double>& joint_positions,
                        const std::optional<std::vector<int>>& indices) {
  json body = json::object();
  body["joint_positions"] = joint_positions;
  body["indices"] = valueOrNull(indices);
  return body;
}

}  // namespace

json Articulation::create(std::string_view prim_path, std::optional<std::string_view> urdf_path) {
  json body = json::object();
  body["prim_path"] = prim_path;
  body["urdf_path"] = valueOrNull(urdf_path);
  return transport_.requestJson("PUT", "/articulations", detail::writeJsonBody(body));
}

json Articulation::assembleRobot(std::string_view articulation_id, std::string_view gripper_id,
                                 std::string_view arm_mount_link,
                                 std::optional<std::string_view> gripper_mount_link,
                                 const std::optional<json>& offset, bool mask_collisions) {
  json body = json::object();
  body["gripper_id"] = gripper_id;
  body["arm_mount_link"] = arm_mount_link;
  body["gripper_mount_link"] = valueOrNull(gripper_mount_link);
  body["offset"] = valueOrNull(offset);
  body["mask_collisions"] = mask_collisions;
  const std::string path = articulationPath(articulation_id, "/assemble_robot");
  return transport_.requestJson("POST", path, detail::writeJsonBody(body));
}

void Articulation::remove(std::string_view articulation_id) {
  // The result is dropped, but the status check and the parse still apply.
  static_cast<void>(transport_.requestJson("DELETE", articulationPath(articulation_id, "")));
}

json Articulation::getDofLimits(std::string_view articulation_id) {
  return transport_.requestJson("GET", articulationPath(articulation_id, "/dof_limits"));
}

json Articulation::getDriverJoint(std::string_view articulation_id) {
  return transport_.requestJson("GET", articulationPath(articulation_id, "/driver_joint"));
}

json Articulation::getJointsState(std::string_view articulation_id) {
  return transport_.requestJson("GET", articulationPath(articulation_id, "/joints_state"));
}

json Articulation::setJointPositions(std::string_view articulation_id,
                                     const std::vector<double>& joint_positions,
                                     const std::optional<std::vector<int>>& indices) {
  const json body = jointPositionsBody(joint_positions, indices);
  const std::string path = articulationPath(articulation_id, "/set_j");
  return transport_.requestJson("POST", path, detail::writeJsonBody(body));
}

json Articulation::moveJointPositions(std::string_view articulation_id,
                                      const std::vector<double>& joint_positions,
                                      const std::optional<std::vector<int>>& indices,
                                      bool asynchronous) {
  json body = jointPositionsBody(joint_positions, indices);
  body["asynchronous"] = asynchronous;
  const std::string path = articulationPath(articulation_id, "/move_j");
  return transport_.requestJson("POST", path, detail::writeJsonBody(body));
}

json Articulation::setDrivenJoints(std::string_view articulation_id,
                                   const std::vector<std::string>& joint_names) {
  json body = json::object();
  body["joint_names"] = joint_names;
  const std::string path = articulationPath(articulation_id, "/driven_joints");
  return transport_.requestJson("PUT", path, detail::writeJsonBody(body));
}

WebSocketStream Articulation::streamJointPositions(std::string_view articulation_id) {
  return transport_.openStream(
      detail::articulationStreamPath(articulation_id, "/stream_joint_positions"));
}

WebSocketStream Articulation::streamArticulationState(std::string_view articulation_id) {
  return transport_.openStream(
      detail::articulationStreamPath(articulation_id, "/stream_articulation_state"));
}

WebSocketStream Articulation::streamJointPositions(std::string_view articulation_id,
                                                   const StreamOptions& options) {
  return transport_.openStream(
      detail::articulationStreamPath(articulation_id, "/stream_joint_positions"), options);
}

WebSocketStream Articulation::streamArticulationState(std::string_view articulation_id,
                                                      const StreamOptions& options) {
  return transport_.openStream(
      detail::articulationStreamPath(articulation_id, "/stream_articulation_state"), options);
}

}  // namespace strandel
