#pragma once

/// The one header an application includes: the client, its facades, responses and errors,
/// WebSocket streams, gripper limits and camera frames.

#include <strandel/camera_frame.hpp>
#include <strandel/client.hpp>
#include <strandel/export.hpp>
#include <strandel/gripper_limits.hpp>
#include <strandel/http.hpp>
#include <strandel/json.hpp>
#include <strandel/websocket_stream.hpp>
