#pragma once

#include <cctype>
#include <cstddef>
#include <string_view>

namespace strandel::detail {

/// True when both byte strings have the same length and agree under ASCII case folding: how header
/// names compare.
inline bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i]));
    const int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return false;
  }
  return true;
}

}  // namespace strandel::detail
