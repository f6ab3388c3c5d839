#include "resource_path.hpp"

#include <algorithm>
#include <stdexcept>

namespace strandel::detail {
namespace {

bool isControl(char c) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool contains(std::string_view text, char c) noexcept {
  return text.find(c) != std::string_view::npos;
}

// The rules shared by paths and identifiers, in their order; `refuse_query` adds the '?' rule
// after the '#' rule.
void requireVerbatim(std::string_view text, bool refuse_query) {
  if (contains(text, '\0')) throw std::invalid_argument("path contains a NUL byte");
  if (contains(text, '#')) throw std::invalid_argument("path contains '#'");
  if (refuse_query && contains(text, '?')) throw std::invalid_argument("path contains '?'");
  if (contains(text, ' ')) throw std::invalid_argument("path contains a space");
  if (std::any_of(text.begin(), text.end(), isControl)) {
    throw std::invalid_argument("path contains a control character");
  }
}

}  // namespace

std::string resourcePath(std::string_view collection, std::string_view id,
                         std::string_view suffix) {
  requireVerbatimIdentifier(id);
  std::string path;
  path.reserve(2 + collection.size() + id.size() + suffix.size());
  path.append("/").append(collection).append("/").append(id).append(suffix);
  return path;
}

void requireVerbatimPath(std::string_view path) { requireVerbatim(path, false); }

void requireVerbatimIdentifier(std::string_view id) { requireVerbatim(id, true); }

}  // namespace strandel::detail
