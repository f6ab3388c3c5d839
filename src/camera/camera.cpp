// The Camera facade. Each member makes exactly one request through the client, with its body
// serialised by the shared body writer, and checks the answer: capture decodes it as a binary
// camera frame, the others parse it as JSON. Options whose optional is empty are left out of the
// body, never sent as null.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <strandel/client.hpp>

#include "camera/decode_camera_frame.hpp"
#include "client/json_body.hpp"
#include "client/resource_path.hpp"
#include "client/transport.hpp"

namespace strandel {
namespace {

using detail::setIfPresent;

constexpr std::string_view kCollection = "cameras";

/// The camera path "/cameras/" + id + suffix, the identifier inserted verbatim.
std::string cameraPath(std::string_view camera_id, std::string_view suffix) {
  return detail::resourcePath(kCollection, camera_id, suffix);
}

}  // namespace

json Camera::create(std::string_view prim_path, const std::optional<std::vector<int>>& resolution,
                    std::optional<double> frequency) {
  json body = json::object();
  body["prim_path"] = prim_path;
  setIfPresent(body, "resolution", resolution);
  setIfPresent(body, "frequency", frequency);
  return transport_.requestJson("PUT", "/cameras", detail::writeJsonBody(body));
}

CameraFrame Camera::capture(std::string_view camera_id,
                            const std::optional<std::vector<std::string>>& data_types,
                            std::optional<bool> world_frame) {
  json body = json::object();
  setIfPresent(body, "data_types", data_types);
  setIfPresent(body, "world_frame", world_frame);
  const std::string path = cameraPath(camera_id, "/capture");
  const HttpResponse response = transport_.post(path, detail::writeJsonBody(body));
  transport_.requireSuccess(response.status, response.body, "POST", path);
  return detail::decodeCameraFrame(response);
}

void Camera::capture(std::string_view camera_id, CameraFrame& into,
                     const std::optional<std::vector<std::string>>& data_types,
                     std::optional<bool> world_frame) {
  json body = json::object();
  setIfPresent(body, "data_types", data_types);
  setIfPresent(body, "world_frame", world_frame);
  const std::string path = cameraPath(camera_id, "/capture");
  long status = 0;
  try {
    transport_.requestInto("POST", path, detail::writeJsonBody(body),
                           detail::ResponseTarget{&status, &into.body_buffer});
    transport_.requireSuccess(status, into.body_buffer, "POST", path);
    detail::decodeCameraFrame(status, into.body_buffer, into);
  } catch (...) {
    into.structure = nullptr;
    into.outputs.clear();
    into.body_buffer.clear();
    throw;
  }
  into.body_buffer.clear();
}

void Camera::remove(std::string_view camera_id) {
  transport_.requestJson("DELETE", cameraPath(camera_id, ""));
}

}  // namespace strandel
