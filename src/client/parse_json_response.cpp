#include "parse_json_response.hpp"

#include <string>

namespace strandel::detail {

void requireSuccessStatus(long status, std::string_view body) {
  if (status < 200 || status > 299) throw HTTPError(status, std::string(body));
}

void requireSuccessStatus(const HttpResponse& response) {
  requireSuccessStatus(response.status, response.body);
}

json parseJsonResponse(const HttpResponse& response) {
  requireSuccessStatus(response);
  if (response.body.empty()) return json::object();
  return response.json();
}

}  // namespace strandel::detail
