#pragma once

/// The one header an application includes: the client, its options, its facades, responses and
/// errors, WebSocket streams and their options, gripper limits, camera frames, URL helpers and
/// the library's version.

#include <strandel/camera_frame.hpp>
#include <strandel/client.hpp>
#include <strandel/client_options.hpp>
#include <strandel/errors.hpp>
#include <strandel/export.hpp>
#include <strandel/gripper_limits.hpp>
#include <strandel/http.hpp>
#include <strandel/json.hpp>
#include <strandel/stream_options.hpp>
#include <strandel/urls.hpp>
#include <strandel/version.hpp>
#include <strandel/websocket_stream.hpp>
