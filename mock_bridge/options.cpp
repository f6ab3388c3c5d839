#include "options.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <sstream>

#include <CLI/CLI.hpp>

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

std::uint64_t toInteger(const std::string& name, const std::string& text, std::uint64_t low,
                        std::uint64_t high) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(name + " expects a whole number, not '" + text + "'");
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value < low || value > high)
    throw UsageError(name + " must be between " + std::to_string(low) + " and " +
                     std::to_string(high));
  return value;
}

/// Upper bound of --max-unsent-bytes and --max-total-unsent-bytes: 64 GiB.
constexpr std::uint64_t kMaxUnsentBytes = 64ull * 1024 * 1024 * 1024;

constexpr char kDescription[] =
    "A local stand-in for the Isaac Sim bridge: HTTP and WebSocket on one port, an in-memory\n"
    "world of articulations, surface grippers and cameras. Prints\n"
    "\"listening on http://HOST:PORT/\" as its first line and serves until SIGINT or SIGTERM.";

/// The command line's parser, writing into `options`. Each valued option takes "--name value" or
/// "--name=value" (the last one given counts) and is converted by its setter, which throws
/// UsageError with the option's name and the reason; an empty value "needs a value".
std::unique_ptr<CLI::App> makeParser(Options& options) {
  auto app = std::make_unique<CLI::App>(kDescription, "strandel-mock-bridge");
  app->allow_extras();  // reported as "unknown option" after parsing
  app->set_help_flag("-h,--help", "show this text");
  app->get_formatter()->column_width(25);
  using Setter = std::function<void(const std::string& name, const std::string& value)>;
  const auto valued = [&app](const std::string& name, const std::string& type,
                             const std::string& help, const Setter& set) {
    app->add_option_function<std::string>(
           name,
           [name, set](const std::string& value) {
             if (value.empty()) throw UsageError(name + " needs a value");
             set(name, value);
           },
           help)
        ->type_name(type)
        ->expected(0, 1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  valued("--host", "ADDR", "address to bind (default 127.0.0.1)",
         [&](const std::string&, const std::string& v) { options.host = v; });
  valued("--port", "N", "port to bind, 0 for a free one (default 8211)",
         [&](const std::string& n, const std::string& v) {
           options.port = static_cast<std::uint16_t>(toInteger(n, v, 0, 65535));
         });
  valued("--stream-rate", "HZ", "messages per second on each stream (default 60)",
         [&](const std::string& n, const std::string& v) {
           options.stream_rate = toNumber(n, v, 0.1, 1000);
         });
  valued("--physics-rate", "HZ", "simulation steps per second (default 120)",
         [&](const std::string& n, const std::string& v) {
           options.physics_rate = toNumber(n, v, 1, 1000);
         });
  valued("--joint-speed", "V", "speed bound in rad/s or m/s for joints without one (default 1.5)",
         [&](const std::string& n, const std::string& v) {
           options.joint_speed = toNumber(n, v, 0.001, 1000);
         });
  valued("--gripper-time", "S", "simulated seconds to open or close a gripper (default 0.25)",
         [&](const std::string& n, const std::string& v) {
           options.gripper_time = toNumber(n, v, 0, 60);
         });
  valued("--fail-every", "N", "answer every Nth HTTP request with --fail-status (default 0: off)",
         [&](const std::string& n, const std::string& v) {
           options.fail_every = static_cast<std::uint32_t>(toInteger(n, v, 0, 1000000));
         });
  valued("--fail-status", "CODE", "status of those answers (default 503)",
         [&](const std::string& n, const std::string& v) {
           options.fail_status = static_cast<int>(toInteger(n, v, 100, 599));
         });
  valued("--latency-ms", "MS", "delay added before every HTTP answer (default 0)",
         [&](const std::string& n, const std::string& v) {
           options.latency_ms = static_cast<std::uint32_t>(toInteger(n, v, 0, 60000));
         });
  valued("--max-body-bytes", "N",
         "largest request body accepted, larger gets 413 (default 8388608)",
         [&](const std::string& n, const std::string& v) {
           options.max_body_bytes = toInteger(n, v, 1, 1024ull * 1024 * 1024);
         });
  valued("--max-urdf-bytes", "N",
         "largest URDF file an articulation is made from, larger gets 422 (default " +
             std::to_string(kDefaultMaxUrdfBytes) + ")",
         [&](const std::string& n, const std::string& v) {
           options.max_urdf_bytes = toInteger(n, v, 1, 1024ull * 1024 * 1024);
         });
  valued("--max-connections", "N",
         "connections served at once, one more is answered 503 and closed (default 256)",
         [&](const std::string& n, const std::string& v) {
           options.max_connections = static_cast<std::uint32_t>(toInteger(n, v, 1, 100000));
         });
  valued("--max-unsent-bytes", "N",
         "bytes that may wait to be sent on one connection; a larger answer gets 503, a stream "
         "message is skipped (default 134217728)",
         [&](const std::string& n, const std::string& v) {
           options.max_unsent_bytes = toInteger(n, v, kAlwaysSentBytes, kMaxUnsentBytes);
         });
  valued("--max-total-unsent-bytes", "N",
         "the same over all connections, answers up to " + std::to_string(kAlwaysSentBytes) +
             " bytes excepted (default 268435456)",
         [&](const std::string& n, const std::string& v) {
           options.max_total_unsent_bytes = toInteger(n, v, kAlwaysSentBytes, kMaxUnsentBytes);
         });
  valued("--request-timeout-ms", "MS",
         "time to complete a request once begun, and a new connection's first; then it is closed "
         "(default 5000)",
         [&](const std::string& n, const std::string& v) {
           options.request_timeout_ms = static_cast<std::uint32_t>(toInteger(n, v, 100, 600000));
         });
  app->add_flag("-v,--verbose", options.verbose, "log every request and its answer on stderr");
  return app;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  const auto app = makeParser(options);
  try {
    app->parse(
        std::vector<std::string>(args.rbegin(), args.rend()));  // CLI11 takes them last first
  } catch (const CLI::CallForHelp&) {
    options.help = true;
    return options;
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  const std::vector<std::string> unknown = app->remaining();
  if (!unknown.empty()) throw UsageError("unknown option '" + unknown.front() + "' (see --help)");
  return options;
}

std::string usageText() {
  Options unused;
  return makeParser(unused)->help();
}

}  // namespace strandel::mock_bridge
