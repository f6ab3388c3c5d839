#pragma once

// HTTP routing by path pattern and method, in the manner of cpp-httplib's Server::Get: routes are
// registered once, each a method, a pattern such as "/articulations/{id}/set_j" and a handler, and
// every request walks the table. Knows nothing of the world. Not thread-safe for registration;
// dispatch() only reads the table.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api_error.hpp"

namespace strandel::mock_bridge {

struct Request {
  std::string method;
  /// The request target as received, e.g. "/articulations/arm/joints_state?x=1".
  std::string target;
  std::string body;
};

struct Reply {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  /// Further header lines as name and value.
  std::vector<std::pair<std::string, std::string>> headers;
};

/// Receives the reply of one request exactly once, possibly after the handler has returned (for a
/// synchronous motion, when it ends).
using Respond = std::function<void(Reply)>;

/// A JSON reply with `status`, its body written by jsonText().
Reply jsonReply(int status, const json& body);

/// The path segments of `target` after its one leading '/', without query or fragment. Segments
/// are taken as they are (no percent-decoding), and empty segments are kept, so
/// "/articulations//x" does not reach the same endpoint as "/articulations/x"; "/" has none.
std::vector<std::string> splitPath(std::string_view target);

/// The captured segments of a matched path, by name.
using PathParams = std::map<std::string, std::string, std::less<>>;

/// A path pattern: segments split as splitPath() does; a segment "{name}" matches any one segment
/// (an empty one included) and captures it under `name`, any other segment matches itself only.
class PathPattern {
 public:
  explicit PathPattern(std::string_view pattern);

  /// The captures when `segments` match the pattern, segment for segment; empty otherwise.
  std::optional<PathParams> match(const std::vector<std::string>& segments) const;

 private:
  struct Segment {
    std::string text;
    bool capture = false;
  };
  std::vector<Segment> segments_;
};

/// One request as its handler sees it.
struct Call {
  const Request& request;
  const PathParams& params;
  const Respond& respond;

  /// The captured segment `name` of the route's pattern.
  const std::string& param(std::string_view name) const { return params.find(name)->second; }
};

class RouteTable {
 public:
  /// Answers the call through `call.respond`, or throws (ApiError for a refusal).
  using Handler = std::function<void(const Call& call)>;

  /// Adds a route; routes are tried in the order they were added.
  void add(std::string method, std::string_view pattern, Handler handler);

  /// Runs the handler of the first route whose pattern matches the request's path and whose
  /// method is the request's. When some route matches the path but none the method, answers 405
  /// "method M is not allowed here; use A, B" with the header Allow: A, B (the methods of those
  /// routes in table order); when no route matches the path, throws ApiError 404 "no endpoint at
  /// <path>". Whatever the handler throws propagates.
  void dispatch(const Request& request, const Respond& respond) const;

 private:
  struct Route {
    std::string method;
    PathPattern pattern;
    Handler handler;
  };
  std::vector<Route> routes_;
};

}  // namespace strandel::mock_bridge
