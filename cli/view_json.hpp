#pragma once

// The one way `strandel view` writes the JSON it sends to the page.

#include <string>

#include <strandel/json.hpp>

namespace strandel_cli {

/// `value` as compact JSON; bytes of its strings that are not UTF-8 (an identifier from the
/// command line, a text from the bridge) become U+FFFD instead of throwing. NaN is written null.
inline std::string viewJson(const strandel::json& value) {
  return value.dump(-1, ' ', false, strandel::json::error_handler_t::replace);
}

}  // namespace strandel_cli
