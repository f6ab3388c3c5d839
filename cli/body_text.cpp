#include "body_text.hpp"

#include <strandel/json.hpp>

namespace strandel_cli {

std::string formatBody(const std::string& body) {
  const strandel::json value = strandel::json::parse(body, nullptr, false);
  if (value.is_discarded()) return body;
  return value.dump(2, ' ', false, strandel::json::error_handler_t::replace) + "\n";
}

}  // namespace strandel_cli
