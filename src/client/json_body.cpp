#include "json_body.hpp"

namespace strandel::detail {

std::string writeJsonBody(const json& body) {
  return body.dump(-1, ' ', false, json::error_handler_t::strict);
}

}  // namespace strandel::detail
