#include <strandel/urls.hpp>

#include "ignore_case.hpp"

namespace strandel {

std::string websocketUrlFor(std::string_view http_url) {
  const std::size_t colon = http_url.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view scheme = http_url.substr(0, colon);
    const std::string_view rest = http_url.substr(colon);
    if (detail::equalsIgnoreCase(scheme, "https")) return "wss" + std::string(rest);
    if (detail::equalsIgnoreCase(scheme, "http")) return "ws" + std::string(rest);
  }
  return std::string(http_url);
}

}  // namespace strandel
