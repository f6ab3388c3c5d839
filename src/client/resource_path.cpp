#include "resource_path.hpp"

#include <stdexcept>

namespace strandel::detail {

std::string resourcePath(std::string_view collection, std::string_view id,
                         std::string_view suffix) {
  std::string path;
  path.reserve(2 + collection.size() + id.size() + suffix.size());
  path.append("/").append(collection).append("/").append(id).append(suffix);
  return path;
}

void requireVerbatimPath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    throw std::invalid_argument("path contains a NUL byte");
  }
  if (path.find('#') != std::string_view::npos) throw std::invalid_argument("path contains '#'");
}

}  // namespace strandel::detail
