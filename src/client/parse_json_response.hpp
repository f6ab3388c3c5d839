#pragma once

#include <string_view>

#include <strandel/http.hpp>
#include <strandel/json.hpp>

namespace strandel::detail {

/// Throws HTTPError(status, copy of body) unless 200 <= status <= 299.
void requireSuccessStatus(const HttpResponse& response);
/// The same check on a status and a body held elsewhere.
void requireSuccessStatus(long status, std::string_view body);

/// The facades' response check: HTTPError outside 2xx, {} for an empty body, otherwise the body
/// parsed strictly (nlohmann::json::parse_error propagates).
json parseJsonResponse(const HttpResponse& response);

}  // namespace strandel::detail
