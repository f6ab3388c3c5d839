#pragma once

// One pass over JSON text before it is parsed, so that a limit on nesting holds before a parser
// builds (or recurses into) anything. Header-only and internal: the library, the stand-in bridge
// and the command line each bound what they parse with it.

#include <cstddef>
#include <string_view>

namespace strandel::json_structure {

/// Calls `visit(c, depth)` for every character `c` of `text` outside string literals (inside
/// one, a backslash escapes the character after it), with `depth` the nesting of arrays and
/// objects once `c` is counted: an opening bracket raises it first, a closing one lowers it first
/// (never below 0). For valid JSON the greatest depth is exactly its nesting. Stops early when
/// `visit` returns false, and returns whether the whole text was visited.
template <typename Visit>
bool forEachStructural(std::string_view text, Visit&& visit) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
    if (!visit(c, depth)) return false;
  }
  return true;
}

/// Whether arrays and objects in `text` nest deeper than `limit`; stops at the first bracket past
/// it. Malformed text that stays within the limit is left to the parser to reject.
inline bool nestedDeeperThan(std::string_view text, std::size_t limit) {
  return !forEachStructural(text, [limit](char, std::size_t depth) { return depth <= limit; });
}

}  // namespace strandel::json_structure
