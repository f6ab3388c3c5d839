#include <string>

#include <strandel/client.hpp>

#include "camera/decode_camera_frame.hpp"
#include "client/json_body.hpp"
#include "client/parse_json_response.hpp"
#include "client/resource_path.hpp"

namespace strandel {
namespace {

constexpr char kCollection[] = "cameras";

}  // namespace

json Camera::create(std::string_view prim_path, const std::optional<std::vector<int>>& resolution,
                    std::optional<double> frequency) {
  json body = {{"prim_path", std::string(prim_path)}};
  detail::setIfPresent(body, "resolution", resolution);
  detail::setIfPresent(body, "frequency", frequency);
  return detail::parseJsonResponse(client_.put("/cameras", detail::writeJsonBody(body)));
}

CameraFrame Camera::capture(std::string_view camera_id,
                            const std::optional<std::vector<std::string>>& data_types,
                            std::optional<bool> world_frame) {
  json body = json::object();
  detail::setIfPresent(body, "data_types", data_types);
  detail::setIfPresent(body, "world_frame", world_frame);
  return detail::decodeCameraFrame(client_.post(
      detail::resourcePath(kCollection, camera_id, "/capture"), detail::writeJsonBody(body)));
}

void Camera::remove(std::string_view camera_id) {
  detail::parseJsonResponse(client_.deleteRequest(detail::resourcePath(kCollection, camera_id, "")));
}

}  // namespace strandel
