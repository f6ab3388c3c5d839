#include "parse_json_response.hpp"

namespace strandel::detail {

void requireSuccessStatus(const HttpResponse& response) {
  if (response.status < 200 || response.status > 299) {
    throw HTTPError(response.status, response.body);
  }
}

json parseJsonResponse(const HttpResponse& response) {
  requireSuccessStatus(response);
  if (response.body.empty()) return json::object();
  return response.json();
}

}  // namespace strandel::detail
