#include <stdexcept>
#include <utility>

#include <strandel/client.hpp>

#include "request_engine.hpp"
#include "resource_path.hpp"

namespace strandel {
namespace {

void appendSlashIfMissing(std::string& url) {
  if (url.back() != '/') url.push_back('/');
}

}  // namespace

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url,
                               std::string websocket_base_url, std::chrono::milliseconds timeout,
                               int max_retries)
    : articulations(*this),
      surfaceGrippers(*this),
      cameras(*this),
      label_(std::move(label)),
      baseUrl_(std::move(base_url)),
      websocketBaseUrl_(std::move(websocket_base_url)),
      timeout_(timeout),
      maxRetries_(max_retries) {
  if (baseUrl_.empty()) throw std::invalid_argument("base_url must not be empty");
  if (websocketBaseUrl_.empty()) throw std::invalid_argument("websocket_base_url must not be empty");
  if (timeout_.count() <= 0) throw std::invalid_argument("timeout must be positive");
  if (maxRetries_ < 0) throw std::invalid_argument("max_retries must not be negative");
  appendSlashIfMissing(baseUrl_);
  appendSlashIfMissing(websocketBaseUrl_);
}

IsaacSimClient::~IsaacSimClient() = default;

const std::string& IsaacSimClient::baseUrl() const noexcept { return baseUrl_; }

const std::string& IsaacSimClient::websocketBaseUrl() const noexcept { return websocketBaseUrl_; }

std::string IsaacSimClient::prepareUrl_(std::string_view path) const {
  detail::requireVerbatimPath(path);
  return detail::joinUrl(baseUrl_, path);
}

}  // namespace strandel
