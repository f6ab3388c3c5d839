// The SurfaceGripper facade. Each member makes exactly one request through the client, with its
// body serialised by the shared body writer (invalid UTF-8 throws before anything is sent), and
// checks the answer (requestJson). The property calls are partial updates: a setting
// whose optional is empty is left out of the body, never sent as null.

#include <optional>
#include <string>
#include <string_view>

#include <strandel/client.hpp>

#include "client/json_body.hpp"
#include "client/resource_path.hpp"
#include "client/transport.hpp"
#include "gripper/axis_limits_json.hpp"

namespace strandel {
namespace {

using detail::setIfPresent;

constexpr std::string_view kCollection = "surface_grippers";

/// The gripper path "/surface_grippers/" + id + suffix, the identifier inserted verbatim.
std::string gripperPath(std::string_view surface_gripper_id, std::string_view suffix) {
  return detail::resourcePath(kCollection, surface_gripper_id, suffix);
}

/// POST {"asynchronous":...} to the gripper path with `suffix` ("/open" or "/close").
json postActuation(detail::Transport& transport, std::string_view surface_gripper_id,
                   std::string_view suffix, bool asynchronous) {
  json body = json::object();
  body["asynchronous"] = asynchronous;
  const std::string path = gripperPath(surface_gripper_id, suffix);
  return transport.requestJson("POST", path, detail::writeJsonBody(body));
}

/// PATCH the partial-update `body` to the gripper path with `suffix`.
json patchSettings(detail::Transport& transport, std::string_view surface_gripper_id,
                   std::string_view suffix, const json& body) {
  const std::string path = gripperPath(surface_gripper_id, suffix);
  return transport.requestJson("PATCH", path, detail::writeJsonBody(body));
}

}  // namespace

json SurfaceGripper::create(std::string_view prim_path) {
  json body = json::object();
  body["prim_path"] = prim_path;
  return transport_.requestJson("PUT", "/surface_grippers", detail::writeJsonBody(body));
}

json SurfaceGripper::get(std::string_view surface_gripper_id) {
  return transport_.requestJson("GET", gripperPath(surface_gripper_id, ""));
}

json SurfaceGripper::getStatus(std::string_view surface_gripper_id) {
  return transport_.requestJson("GET", gripperPath(surface_gripper_id, "/status"));
}

json SurfaceGripper::getProperties(std::string_view surface_gripper_id) {
  return transport_.requestJson("GET", gripperPath(surface_gripper_id, "/properties"));
}

json SurfaceGripper::getAttachmentPoints(std::string_view surface_gripper_id) {
  return transport_.requestJson("GET", gripperPath(surface_gripper_id, "/attachment_points"));
}

json SurfaceGripper::open(std::string_view surface_gripper_id, bool asynchronous) {
  return postActuation(transport_, surface_gripper_id, "/open", asynchronous);
}

json SurfaceGripper::close(std::string_view surface_gripper_id, bool asynchronous) {
  return postActuation(transport_, surface_gripper_id, "/close", asynchronous);
}

void SurfaceGripper::remove(std::string_view surface_gripper_id) {
  // The result is dropped, but the status check and the parse still apply.
  static_cast<void>(transport_.requestJson("DELETE", gripperPath(surface_gripper_id, "")));
}

json SurfaceGripper::setProperties(std::string_view surface_gripper_id,
                                   std::optional<double> coaxial_force_limit,
                                   std::optional<double> shear_force_limit,
                                   std::optional<double> max_grip_distance,
                                   std::optional<double> retry_interval,
                                   const std::optional<AxisLimits>& rotation_limits,
                                   const std::optional<AxisLimits>& translation_limits,
                                   std::optional<std::string_view> forward_axis) {
  json body = json::object();
  setIfPresent(body, "coaxial_force_limit", coaxial_force_limit);
  setIfPresent(body, "shear_force_limit", shear_force_limit);
  setIfPresent(body, "max_grip_distance", max_grip_distance);
  setIfPresent(body, "retry_interval", retry_interval);
  setIfPresent(body, "rotation_limits", rotation_limits);
  setIfPresent(body, "translation_limits", translation_limits);
  setIfPresent(body, "forward_axis", forward_axis);
  return patchSettings(transport_, surface_gripper_id, "/properties", body);
}

json SurfaceGripper::setAttachmentPointProperties(
    std::string_view surface_gripper_id, const std::optional<std::vector<std::string>>& joint_paths,
    const std::optional<json>& local_pose_0, const std::optional<json>& local_pose_1,
    std::optional<double> z_axis_translation_drive_stiffness,
    std::optional<double> z_axis_translation_drive_damping,
    const std::optional<AxisLimits>& rotation_limits,
    const std::optional<AxisLimits>& translation_limits, std::optional<double> clearance_offset,
    std::optional<std::string_view> forward_axis) {
  json body = json::object();
  setIfPresent(body, "joint_paths", joint_paths);
  setIfPresent(body, "local_pose_0", local_pose_0);
  setIfPresent(body, "local_pose_1", local_pose_1);
  setIfPresent(body, "z_axis_translation_drive_stiffness", z_axis_translation_drive_stiffness);
  setIfPresent(body, "z_axis_translation_drive_damping", z_axis_translation_drive_damping);
  setIfPresent(body, "rotation_limits", rotation_limits);
  setIfPresent(body, "translation_limits", translation_limits);
  setIfPresent(body, "clearance_offset", clearance_offset);
  setIfPresent(body, "forward_axis", forward_axis);
  return patchSettings(transport_, surface_gripper_id, "/attachment_points", body);
}

}  // namespace strandel
