#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <strandel/camera_frame.hpp>
#include <strandel/client_options.hpp>
#include <strandel/errors.hpp>
#include <strandel/export.hpp>
#include <strandel/gripper_limits.hpp>
#include <strandel/http.hpp>
#include <strandel/json.hpp>
#include <strandel/stream_options.hpp>
#include <strandel/websocket_stream.hpp>

namespace strandel {

class IsaacSimClient;

namespace detail {
class Transport;
}  // namespace detail

/// Articulations (robots) on the bridge, under "/articulations". Reached through
/// IsaacSimClient::articulations. Every HTTP member makes one request through the client (with its
/// retries) and returns the bridge's JSON answer, or {} for an empty 2xx body. Common failures:
/// HTTPError for a status outside 200..299, nlohmann::json::parse_error for a 2xx body that is not
/// JSON, nlohmann::json::type_error for text that is not valid UTF-8 (nothing is sent then), and
/// std::runtime_error when the transfer still fails after the retries. Identifiers are inserted
/// into the path byte for byte and reach the bridge as written ("../" is not resolved, '/' stays a
/// path separator); nothing is escaped. An identifier holding a byte that cannot travel verbatim
/// in a path throws std::invalid_argument before anything is sent, checked in this order: "path
/// contains a NUL byte", "path contains '#'", "path contains '?'", "path contains a space",
/// "path contains a control character" (0x01-0x1F, 0x7F).
class STRANDEL_API Articulation {
 public:
  /// PUT /articulations with {"prim_path":..., "urdf_path":... or null}.
  json create(std::string_view prim_path, std::optional<std::string_view> urdf_path = std::nullopt);

  /// POST /articulations/{id}/assemble_robot with all five keys; absent optionals are null.
  /// `mask_collisions` defaults to true: collisions between the arm and the mounted gripper are
  /// masked, which is what mounting a gripper normally wants.
  json assembleRobot(std::string_view articulation_id, std::string_view gripper_id,
                     std::string_view arm_mount_link,
                     std::optional<std::string_view> gripper_mount_link = std::nullopt,
                     const std::optional<json>& offset = std::nullopt, bool mask_collisions = true);

  /// DELETE /articulations/{id}; the answer is checked and dropped.
  void remove(std::string_view articulation_id);

  /// GET /articulations/{id}/dof_limits.
  json getDofLimits(std::string_view articulation_id);
  /// GET /articulations/{id}/driver_joint.
  json getDriverJoint(std::string_view articulation_id);
  /// GET /articulations/{id}/joints_state.
  json getJointsState(std::string_view articulation_id);

  /// POST /articulations/{id}/set_j with {"indices":[...] or null,"joint_positions":[...]}.
  json setJointPositions(std::string_view articulation_id,
                         const std::vector<double>& joint_positions,
                         const std::optional<std::vector<int>>& indices = std::nullopt);

  /// POST /articulations/{id}/move_j with {"asynchronous":...,"indices":...,"joint_positions":...}.
  /// The call always waits for the bridge's answer; `asynchronous` only travels in the body.
  json moveJointPositions(std::string_view articulation_id,
                          const std::vector<double>& joint_positions,
                          const std::optional<std::vector<int>>& indices = std::nullopt,
                          bool asynchronous = false);

  /// PUT /articulations/{id}/driven_joints with {"joint_names":[...]}.
  json setDrivenJoints(std::string_view articulation_id,
                       const std::vector<std::string>& joint_names);

  /// Opens the joint-position stream of the articulation (IsaacSimClient::openJointPositionStream).
  WebSocketStream streamJointPositions(std::string_view articulation_id);
  /// Opens the articulation-state stream (IsaacSimClient::openArticulationStateStream).
  WebSocketStream streamArticulationState(std::string_view articulation_id);
  /// streamJointPositions with `options` (IsaacSimClient::openJointPositionStream with options).
  WebSocketStream streamJointPositions(std::string_view articulation_id,
                                       const StreamOptions& options);
  /// streamArticulationState with `options` (IsaacSimClient::openArticulationStateStream with
  /// options).
  WebSocketStream streamArticulationState(std::string_view articulation_id,
                                          const StreamOptions& options);

  /// Bound to its client's transport by IsaacSimClient; lives as long as the client.
  explicit Articulation(detail::Transport& transport) noexcept : transport_(transport) {}

 private:
  detail::Transport& transport_;
};

/// Surface grippers on the bridge, under "/surface_grippers". Reached through
/// IsaacSimClient::surfaceGrippers. Failures as for Articulation.
class STRANDEL_API SurfaceGripper {
 public:
  /// PUT /surface_grippers with {"prim_path":...}.
  json create(std::string_view prim_path);
  /// GET /surface_grippers/{id}.
  json get(std::string_view surface_gripper_id);
  /// GET /surface_grippers/{id}/status.
  json getStatus(std::string_view surface_gripper_id);
  /// GET /surface_grippers/{id}/properties.
  json getProperties(std::string_view surface_gripper_id);
  /// GET /surface_grippers/{id}/attachment_points.
  json getAttachmentPoints(std::string_view surface_gripper_id);
  /// POST /surface_grippers/{id}/open with {"asynchronous":...}.
  json open(std::string_view surface_gripper_id, bool asynchronous = false);
  /// POST /surface_grippers/{id}/close with {"asynchronous":...}.
  json close(std::string_view surface_gripper_id, bool asynchronous = false);
  /// DELETE /surface_grippers/{id}; the answer is checked and dropped.
  void remove(std::string_view surface_gripper_id);

  /// PATCH /surface_grippers/{id}/properties with only the settings given (possibly {}).
  json setProperties(std::string_view surface_gripper_id,
                     std::optional<double> coaxial_force_limit = std::nullopt,
                     std::optional<double> shear_force_limit = std::nullopt,
                     std::optional<double> max_grip_distance = std::nullopt,
                     std::optional<double> retry_interval = std::nullopt,
                     const std::optional<AxisLimits>& rotation_limits = std::nullopt,
                     const std::optional<AxisLimits>& translation_limits = std::nullopt,
                     std::optional<std::string_view> forward_axis = std::nullopt);

  /// PATCH /surface_grippers/{id}/attachment_points with only the settings given (possibly {}).
  json setAttachmentPointProperties(
      std::string_view surface_gripper_id,
      const std::optional<std::vector<std::string>>& joint_paths = std::nullopt,
      const std::optional<json>& local_pose_0 = std::nullopt,
      const std::optional<json>& local_pose_1 = std::nullopt,
      std::optional<double> z_axis_translation_drive_stiffness = std::nullopt,
      std::optional<double> z_axis_translation_drive_damping = std::nullopt,
      const std::optional<AxisLimits>& rotation_limits = std::nullopt,
      const std::optional<AxisLimits>& translation_limits = std::nullopt,
      std::optional<double> clearance_offset = std::nullopt,
      std::optional<std::string_view> forward_axis = std::nullopt);

  /// Bound to its client's transport by IsaacSimClient; lives as long as the client.
  explicit SurfaceGripper(detail::Transport& transport) noexcept : transport_(transport) {}

 private:
  detail::Transport& transport_;
};

/// Cameras on the bridge, under "/cameras". Reached through IsaacSimClient::cameras. Failures as
/// for Articulation; capture also throws std::runtime_error for a body that is not a well-formed
/// binary camera frame.
class STRANDEL_API Camera {
 public:
  /// PUT /cameras with {"frequency":...,"prim_path":...,"resolution":[...]}; absent options are
  /// left out.
  json create(std::string_view prim_path,
              const std::optional<std::vector<int>>& resolution = std::nullopt,
              std::optional<double> frequency = std::nullopt);

  /// POST /cameras/{id}/capture with {"data_types":[...],"world_frame":...} (absent options left
  /// out, so no options send {}); returns the decoded frame.
  CameraFrame capture(std::string_view camera_id,
                      const std::optional<std::vector<std::string>>& data_types = std::nullopt,
                      std::optional<bool> world_frame = std::nullopt);

  /// The same request, checks and errors as capture(camera_id, data_types, world_frame), with the
  /// frame decoded into `into`: its structure is replaced, and its outputs, their shapes, dtypes
  /// and data, and into.body_buffer (which receives the answer's body) keep their memory and grow
  /// only when the new frame needs more. A steady loop of frames of one layout therefore makes no
  /// allocation that grows with the frame after its first capture, and an output whose new data
  /// fits keeps its data pointer. body_buffer is left empty (its capacity kept). On any failure
  /// `into` is left valid and empty: structure null, no outputs, body_buffer empty; the capacity
  /// of the outputs vector and of body_buffer is kept. Not thread-safe with respect to `into`:
  /// no other thread may use that frame during the call.
  void capture(std::string_view camera_id, CameraFrame& into,
               const std::optional<std::vector<std::string>>& data_types = std::nullopt,
               std::optional<bool> world_frame = std::nullopt);

  /// DELETE /cameras/{id}; the answer is checked and dropped.
  void remove(std::string_view camera_id);

  /// Bound to its client's transport by IsaacSimClient; lives as long as the client.
  explicit Camera(detail::Transport& transport) noexcept : transport_(transport) {}

 private:
  detail::Transport& transport_;
};

/// One bridge: its HTTP and WebSocket base URLs, the time-out of one transfer attempt and the
/// retry budget, plus the three facades bound to it. Neither copyable nor movable; it must outlive
/// every use of its facades. Streams it opens are independent of it.
///
/// Thread-safety: immutable after construction. Its verbs and facade calls may run concurrently
/// from several threads; they share no mutable state inside the library apart from the standard
/// random generator behind the back-off jitter (with ClientOptions::seeded_jitter, the client's own
/// lock-free one instead), and, with ClientOptions::reuse_connections, the
/// pool of kept connections (guarded by the client's own mutexes). Every call runs synchronously
/// on the caller's thread; the library's own code starts no threads and takes no locks other than
/// those of the connection pool (libcurl may resolve a host name on a short-lived thread of its
/// own).
///
/// HTTP verbs. They return the final response whatever its status and never throw HTTPError.
/// Transport failures and 408, 409, 429, 500 and 502+ are retried up to max_retries times with
/// exponential back-off and jitter (375..500 ms before the first retry, doubling, capped at
/// 6000..8000 ms; ClientOptions tunes the statuses, delays and jitter source). When the last
/// attempt's transfer fails they throw TransportError (TimeoutError for a time-out), a
/// std::runtime_error "HTTP request failed: " + libcurl's text; set-up failures throw
/// "curl_easy_setopt failed: ..." or "Failed to initialize libcurl". POST, PUT and PATCH send the
/// body unaltered with "Content-Type: application/json" and no "Expect: 100-continue". Only http
/// and https are used: a base URL of another scheme fails each attempt with "Unsupported protocol",
/// and one without a scheme is read as http. The ClientOptions a client was built with add
/// connection reuse, the attempt hook and interrupt check (whose exceptions end the call) and the
/// response size cap (ResponseTooLargeError "HTTP response exceeds N bytes", never retried). Error
/// kinds: errors.hpp.
///
/// Paths. A verb's path travels exactly as given (leading slashes dropped, dot segments such as
/// "../" unresolved, a query string after '?' passed on). A path holding a byte that cannot travel
/// verbatim throws std::invalid_argument before anything is sent or retried, the first rule that
/// matches winning: "path contains a NUL byte", "path contains '#'", "path contains a space",
/// "path contains a control character" (0x01-0x1F, 0x7F). Resource identifiers of the facades
/// and stream openers follow the same rules with "path contains '?'" after the '#' rule, since a
/// '?' would address another resource; '/' passes ("arm/1" reaches "articulations/arm/1/...").
///
/// Streams. The WebSocket base URL's scheme must be ws or wss (one without a scheme is read as
/// ws). A failed connection or upgrade within the client's time-out throws HandshakeError (a
/// std::runtime_error) "WebSocket handshake failed for " + url + ": " + libcurl's text. When the
/// bridge refused the upgrade with an HTTP answer, statusCode() is that answer's status (libcurl's
/// response code) and body() what libcurl delivered of its body, which may be empty: libcurl
/// usually ends a refused upgrade once the headers are in. A handshake is always exactly one
/// request; the library never asks again for a refusal's body. The interrupt check is polled
/// during the handshake.
///
/// Nothing is ever written to the process's output. Redirects are not followed: a 3xx answer is
/// the final response of a verb, an HTTPError from a facade call, and a failed handshake for a
/// stream opener.
class STRANDEL_API IsaacSimClient {
  // First, so that it exists before the facades bind to it.
  std::unique_ptr<detail::Transport> transport_;

 public:
  /// The articulation calls of this bridge.
  Articulation articulations;
  /// The surface-gripper calls of this bridge.
  SurfaceGripper surfaceGrippers;
  /// The camera calls of this bridge.
  Camera cameras;

  /// Validates in this order and throws std::invalid_argument: "base_url must not be empty",
  /// "websocket_base_url must not be empty", "timeout must be positive",
  /// "max_retries must not be negative". Appends one '/' to each URL that does not end in one.
  /// Makes no connection. `label` is kept and never read.
  IsaacSimClient(std::string label, std::string base_url, std::string websocket_base_url,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                 int max_retries = 3);
  /// The same client with the settings of `options`. Validates as the constructor above, with
  /// the same texts and in the same order: "base_url must not be empty",
  /// "websocket_base_url must not be empty", "timeout must be positive",
  /// "max_retries must not be negative" (each a std::invalid_argument); the other options take
  /// any value but initial_backoff and max_backoff, which throw std::invalid_argument
  /// "backoff must not be negative" when negative. With options.reuse_connections it also creates
  /// the connection pool and throws std::runtime_error "Failed to initialize libcurl share" or
  /// "curl_share_setopt failed: " + libcurl's text when libcurl cannot provide one. Makes no
  /// connection.
  IsaacSimClient(std::string label, std::string base_url, std::string websocket_base_url,
                 ClientOptions options);
  /// A second client for the same bridge (label and URLs) with the settings of `options`, sharing
  /// this client's connection pool, or none, whatever options.reuse_connections says: e.g. a
  /// client without retries for a control loop beside the patient one. Cheap (no connection is
  /// made); validates `options` as the constructor does. Either client may outlive the other.
  IsaacSimClient withOptions(ClientOptions options) const;
  IsaacSimClient(const IsaacSimClient&) = delete;
  IsaacSimClient(IsaacSimClient&&) = delete;
  IsaacSimClient& operator=(const IsaacSimClient&) = delete;
  IsaacSimClient& operator=(IsaacSimClient&&) = delete;
  ~IsaacSimClient();

  /// The HTTP base URL, ending in '/'.
  const std::string& baseUrl() const noexcept;
  /// The WebSocket base URL, ending in '/'.
  const std::string& websocketBaseUrl() const noexcept;

  /// @name HTTP verbs
  /// One exchange with retries; see the class page for retries, errors and path rules.
  /// @{

  /// GET base_url + path (leading slashes of path dropped).
  HttpResponse get(std::string_view path);
  /// POST base_url + path with body.
  HttpResponse post(std::string_view path, std::string_view body);
  /// PUT base_url + path with body.
  HttpResponse put(std::string_view path, std::string_view body);
  /// PATCH base_url + path with body.
  HttpResponse patch(std::string_view path, std::string_view body);
  /// DELETE base_url + path.
  HttpResponse deleteRequest(std::string_view path);
  /// @}

  /// Opens websocket_base_url + "articulations/" + id + "/stream_joint_positions" (the identifier
  /// verbatim). Throws HandshakeError, or std::invalid_argument for an identifier that cannot
  /// travel verbatim (see the class page).
  WebSocketStream openJointPositionStream(std::string_view articulation_id);
  /// Opens websocket_base_url + "articulations/" + id + "/stream_articulation_state".
  WebSocketStream openArticulationStateStream(std::string_view articulation_id);
  /// openJointPositionStream with `options`: with options.reconnect, a stream that reopens its
  /// connection (see StreamOptions and WebSocketStream); without it, exactly the stream above. The
  /// opening throws as openJointPositionStream does, after std::invalid_argument for the
  /// identifier, "idle_timeout must not be negative" or "backoff must not be negative". The stream
  /// keeps a copy of this client's time-out, message cap and interrupt check (polled during each
  /// reopen's handshake) and stays independent of the client.
  WebSocketStream openJointPositionStream(std::string_view articulation_id,
                                          const StreamOptions& options);
  /// openArticulationStateStream with `options`, as openJointPositionStream with options.
  WebSocketStream openArticulationStateStream(std::string_view articulation_id,
                                              const StreamOptions& options);

 private:
  STRANDEL_LOCAL explicit IsaacSimClient(std::unique_ptr<detail::Transport> transport);
};

}  // namespace strandel
