// The stream members of the Articulation facade. They build no path and send no HTTP request:
// the identifier goes unchanged to the client's stream openers, and the opened stream is moved to
// the caller, who owns the connection from then on. Opening failures are the openers' own.

#include <string_view>

#include <strandel/client.hpp>

namespace strandel {

WebSocketStream Articulation::streamJointPositions(std::string_view articulation_id) {
  return client_.openJointPositionStream(articulation_id);
}

WebSocketStream Articulation::streamArticulationState(std::string_view articulation_id) {
  return client_.openArticulationStateStream(articulation_id);
}

}  // namespace strandel
