#include "route_table.hpp"

namespace strandel::mock_bridge {

Reply jsonReply(int status, const json& body) {
  Reply reply;
  reply.status = status;
  reply.body = jsonText(body);
  return reply;
}

std::vector<std::string> splitPath(std::string_view target) {
  target = target.substr(0, target.find_first_of("?#"));
  if (!target.empty() && target.front() == '/') target.remove_prefix(1);
  std::vector<std::string> segments;
  if (target.empty()) return segments;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = target.find('/', start);
    segments.emplace_back(target.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return segments;
}

PathPattern::PathPattern(std::string_view pattern) {
  for (std::string& segment : splitPath(pattern)) {
    const bool capture = segment.size() >= 2 && segment.front() == '{' && segment.back() == '}';
    if (capture) segment = segment.substr(1, segment.size() - 2);
    segments_.push_back({std::move(segment), capture});
  }
}

std::optional<PathParams> PathPattern::match(const std::vector<std::string>& segments) const {
  if (segments.size() != segments_.size()) return std::nullopt;
  PathParams params;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (segments_[i].capture)
      params.emplace(segments_[i].text, segments[i]);
    else if (segments[i] != segments_[i].text)
      return std::nullopt;
  }
  return params;
}

void RouteTable::add(std::string method, std::string_view pattern, Handler handler) {
  routes_.push_back({std::move(method), PathPattern(pattern), std::move(handler)});
}

void RouteTable::dispatch(const Request& request, const Respond& respond) const {
  const std::vector<std::string> segments = splitPath(request.target);
  std::string allow;
  bool pathKnown = false;
  for (const Route& route : routes_) {
    const std::optional<PathParams> params = route.pattern.match(segments);
    if (!params) continue;
    if (route.method == request.method) {
      route.handler(Call{request, *params, respond});
      return;
    }
    pathKnown = true;
    allow += (allow.empty() ? "" : ", ") + route.method;
  }
  if (!pathKnown) {
    const std::string path = request.target.substr(0, request.target.find_first_of("?#"));
    throw ApiError(404, "no endpoint at " + path);
  }
  Reply reply = jsonReply(
      405, errorBody(405, "method " + request.method + " is not allowed here; use " + allow));
  reply.headers.emplace_back("Allow", allow);
  respond(std::move(reply));
}

}  // namespace strandel::mock_bridge
