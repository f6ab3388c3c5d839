#include "body_text.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include <strandel/json.hpp>

#include "json_structure.hpp"

namespace strandel_cli {
namespace {

/// What one pass over a text tells before it is parsed: its nesting of arrays and objects outside
/// strings (exactly the depth for valid JSON), and an upper bound on the bytes that the line
/// breaks, the indentation and the spaces after colons of its pretty-printed form add.
struct Layout {
  std::size_t depth = 0;
  std::uint64_t added = 0;
};

Layout layoutOf(std::string_view text) {
  Layout layout;
  strandel::json_structure::forEachStructural(text, [&layout](char c, std::size_t depth) {
    switch (c) {
      case '[':
      case '{':
        layout.depth = std::max(layout.depth, depth);
        layout.added += 1 + 2 * depth;
        break;
      case ']':
      case '}':
      case ',':
        layout.added += 1 + 2 * depth;
        break;
      case ':':
        layout.added += 1;
        break;
      default:
        break;
    }
    return true;
  });
  return layout;
}

/// `text` without the whitespace outside its strings; for valid JSON, the same text compacted.
std::string withoutWhitespace(std::string_view text) {
  std::string compact;
  compact.reserve(text.size());
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      compact += c;
      if (c == '\\' && i + 1 < text.size()) {
        compact += text[++i];
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
      compact += c;
      in_string = c == '"';
    }
  }
  return compact;
}

}  // namespace

std::string formatBody(const std::string& body) {
  const Layout layout = layoutOf(body);
  if (layout.depth > kMaxShownDepth ||
      layout.added > 16 * static_cast<std::uint64_t>(body.size()) + (1u << 20)) {
    return body;
  }
  const strandel::json value = strandel::json::parse(body, nullptr, false);
  if (value.is_discarded()) return body;
  return value.dump(2, ' ', false, strandel::json::error_handler_t::replace) + "\n";
}

std::optional<std::string> compactLine(const std::string& message) {
  if (layoutOf(message).depth > kMaxShownDepth) {
    // The parser keeps its own stack, so checking a deep text recurses nowhere.
    if (!strandel::json::accept(message)) return std::nullopt;
    return withoutWhitespace(message);
  }
  const strandel::json value = strandel::json::parse(message, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value.dump(-1, ' ', false, strandel::json::error_handler_t::replace);
}

}  // namespace strandel_cli
