// strandel: a command line for poking an Isaac Sim bridge (or the local stand-in) through the
// library's public API. See `strandel --help`.

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include <strandel/version.hpp>

#include "body_text.hpp"
#include "bridge_options.hpp"
#include "capture_command.hpp"
#include "command.hpp"
#include "http_commands.hpp"
#include "ping_command.hpp"
#include "stream_command.hpp"
#include "view_command.hpp"

namespace {

using namespace strandel_cli;

constexpr char kFooter[] =
    "Examples:\n"
    "  strandel ping\n"
    "  strandel get /\n"
    "  strandel put articulations '{\"prim_path\":\"/World/arm\",\"urdf_path\":null}'\n"
    "  strandel stream articulations/arm/stream_joint_positions --count 5\n"
    "  strandel stream articulations/arm/stream_joint_positions --reconnect\n"
    "  strandel stream articulations/arm/stream_joint_positions --out run.jsonl --rate\n"
    "  strandel capture camera --out frame/\n"
    "  strandel capture camera --count 100 --rate 10 --out series/\n"
    "  strandel view --camera camera   # a live view at http://127.0.0.1:8212/\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the bridge answered with a status outside 2xx, a stream's handshake included (its body\n"
    "     is printed on stderr)\n"
    "  2  usage error, or a file that cannot be created or written (--out)\n"
    "  3  transport failure: no connection, time-out, no answer to a WebSocket handshake, a URL\n"
    "     whose scheme is not http(s) or ws(s), a stream whose connection failed or that the\n"
    "     bridge closed (without --reconnect)\n"
    "  4  malformed answer: a stream message that is not JSON, a camera answer that is not a "
    "frame\n"
    "  130  interrupted: Ctrl-C before the request, handshake or capture completed (Ctrl-C ending\n"
    "       a stream that is open, or a capture series with a frame complete, exits 0; a second\n"
    "       Ctrl-C ends strandel at once)";

/// Opens /dev/null on each of descriptors 0, 1 and 2 that the process started without, so that no
/// file the command opens later takes their place (a recording must never land on "stdout").
void occupyClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return;
    if (opened != fd) {  // cannot happen while the lower descriptors are open; stay safe anyway
      close(opened);
      return;
    }
  }
}

/// The subcommand the parse reached, or the top-level parser when it reached none.
const CLI::App& chosen(const CLI::App& app) {
  const auto subcommands = app.get_subcommands();
  return subcommands.empty() ? app : *subcommands.back();
}

/// Prints `message`, the usage line of the subcommand the parse reached and where help is; kUsage.
int usageError(const CLI::App& app, const std::string& message) {
  const CLI::App& command = chosen(app);
  const std::string name = &command == &app ? "strandel" : "strandel " + command.get_name();
  const auto formatter = std::dynamic_pointer_cast<CLI::Formatter>(app.get_formatter());
  std::cerr << "strandel: " << message << "\n"
            << (formatter ? formatter->make_usage(&command, name) : std::string()) << "Run '"
            << name << " --help' for more.\n";
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  occupyClosedStandardDescriptors();
  CLI::App app(
      "strandel: send requests to an Isaac Sim bridge (or strandel-mock-bridge) and show its "
      "answers.\n"
      "HTTP requests print the answer's body, JSON pretty-printed (nested deeper than 64 levels: "
      "as\n"
      "received); streams print JSON Lines.",
      "strandel");
  app.footer(kFooter);
  app.set_version_flag("--version", "strandel " + std::string(strandel::version()),
                       "Print the library's version and exit");
  app.require_subcommand(1);
  app.fallthrough();  // the shared options may follow the subcommand too

  BridgeOptions bridge;
  addBridgeOptions(app, bridge);
  Commands commands;
  addHttpCommands(app, bridge, commands);
  addStreamCommand(app, bridge, commands);
  addCaptureCommand(app, bridge, commands);
  addPingCommand(app, bridge, commands);
  addViewCommand(app, bridge, commands);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return usageError(app, e.what());
  }

  try {
    return commands.at(&chosen(app))();
  } catch (const UsageError& e) {
    return usageError(app, e.what());
  } catch (const Failure& e) {
    std::cout.flush();
    std::cerr << e.what() << "\n";
    if (!e.detail().empty()) {
      const std::string detail = formatBody(e.detail());
      std::cerr << detail << (detail.back() == '\n' ? "" : "\n");
    }
    return e.status();
  } catch (const std::exception& e) {
    std::cerr << "strandel: " << e.what() << "\n";
    return 1;
  }
}
