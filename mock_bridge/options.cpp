#include "options.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace strandel::mock_bridge {
namespace {

std::string shortText(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

double toNumber(const std::string& name, const std::string& text, double low, double high) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value))
    throw UsageError(name + " expects a number, not '" + text + "'");
  if (value < low || value > high)
    throw UsageError(name + " must be between " + shortText(low) + " and " + shortText(high));
  return value;
}

std::uint64_t toInteger(const std::string& name, const std::string& text, std::uint64_t low, std::uint64_t high) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(name + " expects a whole number, not '" + text + "'");
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value < low || value > high)
    throw UsageError(name + " must be between " + std::to_string(low) + " and " + std::to_string(high));
  return value;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  using Setter = std::function<void(const std::string& name, const std::string& value)>;
  const std::map<std::string, Setter> valued = {
      {"--host", [&](const std::string& n, const std::string& v) {
         if (v.empty()) throw UsageError(n + " expects an address");
         options.host = v;
       }},
      {"--port", [&](const std::string& n, const std::string& v) {
         options.port = static_cast<std::uint16_t>(toInteger(n, v, 0, 65535));
       }},
      {"--stream-rate", [&](const std::string& n, const std::string& v) { options.stream_rate = toNumber(n, v, 0.1, 1000); }},
      {"--physics-rate", [&](const std::string& n, const std::string& v) { options.physics_rate = toNumber(n, v, 1, 1000); }},
      {"--joint-speed", [&](const std::string& n, const std::string& v) { options.joint_speed = toNumber(n, v, 0.001, 1000); }},
      {"--gripper-time", [&](const std::string& n, const std::string& v) { options.gripper_time = toNumber(n, v, 0, 60); }},
      {"--fail-every", [&](const std::string& n, const std::string& v) {
         options.fail_every = static_cast<std::uint32_t>(toInteger(n, v, 0, 1000000));
       }},
      {"--fail-status", [&](const std::string& n, const std::string& v) {
         options.fail_status = static_cast<int>(toInteger(n, v, 100, 599));
       }},
      {"--latency-ms", [&](const std::string& n, const std::string& v) {
         options.latency_ms = static_cast<std::uint32_t>(toInteger(n, v, 0, 60000));
       }},
      {"--max-body-bytes", [&](const std::string& n, const std::string& v) {
         options.max_body_bytes = toInteger(n, v, 1, 1024ull * 1024 * 1024);
       }},
      {"--max-urdf-bytes", [&](const std::string& n, const std::string& v) {
         options.max_urdf_bytes = toInteger(n, v, 1, 1024ull * 1024 * 1024);
       }},
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--verbose" || arg == "-v") {
      options.verbose = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const auto setter = valued.find(name);
    if (setter == valued.end()) throw UsageError("unknown option '" + arg + "' (see --help)");
    if (eq != std::string::npos) {
      setter->second(name, arg.substr(eq + 1));
    } else {
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      setter->second(name, args[++i]);
    }
  }
  return options;
}

std::string usageText() {
  return "usage: strandel-mock-bridge [options]\n"
         "\n"
         "A local stand-in for the Isaac Sim bridge: HTTP and WebSocket on one port, an in-memory\n"
         "world of articulations, surface grippers and cameras. Prints\n"
         "\"listening on http://HOST:PORT/\" as its first line and serves until SIGINT or SIGTERM.\n"
         "\n"
         "options:\n"
         "  --host ADDR            address to bind (default 127.0.0.1)\n"
         "  --port N               port to bind, 0 for a free one (default 8211)\n"
         "  --stream-rate HZ       messages per second on each stream (default 60)\n"
         "  --physics-rate HZ      simulation steps per second (default 120)\n"
         "  --joint-speed V        speed bound in rad/s or m/s for joints without one (default 1.5)\n"
         "  --gripper-time S       simulated seconds to open or close a gripper (default 0.25)\n"
         "  --fail-every N         answer every Nth HTTP request with --fail-status (default 0: off)\n"
         "  --fail-status CODE     status of those answers (default 503)\n"
         "  --latency-ms MS        delay added before every HTTP answer (default 0)\n"
         "  --max-body-bytes N     largest request body accepted, larger gets 413 (default 8388608)\n"
         "  --max-urdf-bytes N     largest URDF file an articulation is made from, larger gets 422\n"
         "                         (default 16777216)\n"
         "  --verbose, -v          log every request and its answer on stderr\n"
         "  --help, -h             show this text\n";
}

}  // namespace strandel::mock_bridge
