#include "resource_path.hpp"

namespace strandel::detail {

std::string resourcePath(std::string_view collection, std::string_view id, std::string_view suffix) {
  std::string path;
  path.reserve(2 + collection.size() + id.size() + suffix.size());
  path.append("/").append(collection).append("/").append(id).append(suffix);
  return path;
}

}  // namespace strandel::detail
