#include <utility>

#include <strandel/client.hpp>

#include "transport.hpp"

namespace strandel {
namespace {

ClientOptions optionsWith(std::chrono::milliseconds timeout, int max_retries) {
  ClientOptions options;
  options.timeout = timeout;
  options.max_retries = max_retries;
  return options;
}

}  // namespace

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url,
                               std::string websocket_base_url, std::chrono::milliseconds timeout,
                               int max_retries)
    : IsaacSimClient(std::move(label), std::move(base_url), std::move(websocket_base_url),
                     optionsWith(timeout, max_retries)) {}

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url,
                               std::string websocket_base_url, ClientOptions options)
    : IsaacSimClient(std::make_unique<detail::Transport>(std::move(label), std::move(base_url),
                                                         std::move(websocket_base_url),
                                                         std::move(options))) {}

IsaacSimClient::IsaacSimClient(std::unique_ptr<detail::Transport> transport)
    : transport_(std::move(transport)),
      articulations(*transport_),
      surfaceGrippers(*transport_),
      cameras(*transport_) {}

IsaacSimClient IsaacSimClient::withOptions(ClientOptions options) const {
  return IsaacSimClient(transport_->withOptions(std::move(options)));
}

IsaacSimClient::~IsaacSimClient() = default;

const std::string& IsaacSimClient::baseUrl() const noexcept { return transport_->baseUrl(); }

const std::string& IsaacSimClient::websocketBaseUrl() const noexcept {
  return transport_->websocketBaseUrl();
}

HttpResponse IsaacSimClient::get(std::string_view path) { return transport_->get(path); }

HttpResponse IsaacSimClient::post(std::string_view path, std::string_view body) {
  return transport_->post(path, body);
}

HttpResponse IsaacSimClient::put(std::string_view path, std::string_view body) {
  return transport_->put(path, body);
}

HttpResponse IsaacSimClient::patch(std::string_view path, std::string_view body) {
  return transport_->patch(path, body);
}

HttpResponse IsaacSimClient::deleteRequest(std::string_view path) {
  return transport_->deleteRequest(path);
}

WebSocketStream IsaacSimClient::openJointPositionStream(std::string_view articulation_id) {
  return articulations.streamJointPositions(articulation_id);
}

WebSocketStream IsaacSimClient::openArticulationStateStream(std::string_view articulation_id) {
  return articulations.streamArticulationState(articulation_id);
}

WebSocketStream IsaacSimClient::openJointPositionStream(std::string_view articulation_id,
                                                        const StreamOptions& options) {
  return articulations.streamJointPositions(articulation_id, options);
}

WebSocketStream IsaacSimClient::openArticulationStateStream(std::string_view articulation_id,
                                                            const StreamOptions& options) {
  return articulations.streamArticulationState(articulation_id, options);
}

}  // namespace strandel
