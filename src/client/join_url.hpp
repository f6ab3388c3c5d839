#pragma once

#include <string>
#include <string_view>

namespace strandel::detail {

/// `base` (ending in '/') followed by `path` without any of its leading slashes; every other byte
/// of both is kept as it is.
inline std::string joinUrl(std::string_view base, std::string_view path) {
  const std::size_t first = path.find_first_not_of('/');
  path.remove_prefix(first == std::string_view::npos ? path.size() : first);
  std::string url;
  url.reserve(base.size() + path.size());
  url.append(base).append(path);
  return url;
}

}  // namespace strandel::detail
