#include "view_command.hpp"

#include <csignal>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include <CLI/CLI.hpp>
#include <boost/asio/ip/address.hpp>

#include <strandel/version.hpp>

#include "interrupt.hpp"
#include "view_camera_feed.hpp"
#include "view_joint_feed.hpp"
#include "view_json.hpp"
#include "view_server.hpp"

namespace strandel_cli {
namespace {

constexpr char kDefaultChartJs[] = "/usr/share/javascript/chart.js/chart.min.js";
/// Largest Chart.js file read (Debian's is 200 KB minified, 550 KB not).
constexpr std::uintmax_t kMaxChartJsBytes = 16u << 20;

struct ViewRequest {
  std::string camera;
  std::vector<std::string> streams;
  std::string host = "127.0.0.1";
  int port = 8212;
  double fps = 0.0;
  double window_seconds = 10.0;
  int quality = 80;
  std::string chart_js = kDefaultChartJs;
};

/// The script at `path`, or empty (told on stderr) when it cannot be read.
std::string readChartJs(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string text;
  if (file) {
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size > 0 && static_cast<std::uintmax_t>(size) <= kMaxChartJsBytes) {
      text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
      if (!file.bad()) return text;
    }
  }
  std::cerr << "strandel view: cannot read Chart.js at '" << path
            << "' (install libjs-chart.js or pass --chart-js PATH): the page lists the joint "
               "values without plots"
            << std::endl;
  return {};
}

/// Whether `host` (an address literal or localhost) serves this machine only.
bool loopbackOnly(const std::string& host) {
  if (host == "localhost") return true;
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
  if (ec) return false;
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
        .is_loopback();
  return address.is_loopback();
}

int runView(const ViewRequest& request, const BridgeOptions& bridge) {
  const auto origin = std::chrono::steady_clock::now();
  JointFeedSettings joint_settings;
  joint_settings.paths = request.streams;
  joint_settings.origin = origin;
  const std::string chart_js = readChartJs(request.chart_js);
  BridgeOptions pooled = bridge;
  pooled.reuse_connections = true;  // a capture many times a second
  const auto client = makeClient(pooled);

  const auto window =
      std::chrono::milliseconds(static_cast<long long>(request.window_seconds * 1000));
  ViewServerSettings settings;
  settings.host = request.host;
  settings.port = static_cast<std::uint16_t>(request.port);
  settings.chart_js = chart_js;
  settings.history = window;
  CameraFeed* camera_feed = nullptr;  // set once the feed exists, before the server runs
  settings.on_demand = [&camera_feed](bool wanted) {
    if (camera_feed) camera_feed->setWanted(wanted);
  };
  settings.hello = viewJson({{"type", "hello"},
                             {"bridge", client->baseUrl()},
                             {"camera", request.camera},
                             {"streams", request.streams},
                             {"window_s", request.window_seconds},
                             {"version", strandel::version()}});
  std::unique_ptr<ViewServer> server;
  try {
    server = std::make_unique<ViewServer>(settings);
  } catch (const std::runtime_error& e) {
    throw Failure(kUsage, std::string("strandel view: ") + e.what());
  }

  JointFeed joints(
      *client, joint_settings,
      [&server](std::string text) { server->publishSamples(std::move(text)); },
      [&server](std::string text) { server->publishState("streams", std::move(text)); });
  CameraFeedSettings camera_settings;
  camera_settings.camera_id = request.camera;
  camera_settings.fps = request.fps;
  camera_settings.jpeg_quality = request.quality;
  CameraFeed camera(
      *client, camera_settings,
      [&server](std::shared_ptr<const ViewPicture> picture) {
        server->publishPicture(std::move(picture));
      },
      [&server](std::string text) { server->publishState("camera", std::move(text)); });
  camera_feed = &camera;

  std::cout << "strandel view: " << server->url() << " (bridge " << client->baseUrl() << ")"
            << std::endl;
  if (!loopbackOnly(request.host)) {
    std::cerr << "strandel view: warning: serving on " << request.host
              << ", beyond this machine: anyone who can reach port " << server->port()
              << " sees the camera's pictures and the joint positions, without authentication"
              << std::endl;
  }
  camera.start();
  joints.start();
  server->run([] { return interrupted(); });
  // SIGTERM ends the view as Ctrl-C does: passed on as SIGINT, it ends pending calls at once.
  if (server->terminated() && !interrupted()) std::raise(SIGINT);
  camera.stop();
  joints.stop();
  return kSuccess;
}

}  // namespace

void addViewCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands) {
  CLI::App* sub = app.add_subcommand(
      "view",
      "Serve a live view of the simulation to the browser: the camera's picture and depth, plots\n"
      "of the joint positions, the streams' rates and whether the bridge is reachable. Prints\n"
      "its URL first and serves until Ctrl-C. It answers only requests for its own address\n"
      "(localhost, 127.0.0.1, [::1] or the address served on, with its port), and opens its\n"
      "live connection only to its own page; a client that sends no Origin header is taken\n"
      "for a program, not a browser, and let in. The camera is captured only while a page\n"
      "(or a fetch of frame/rgb.jpg or frame/depth.jpg) wants pictures.");
  auto request = std::make_shared<ViewRequest>();
  sub->add_option("--camera", request->camera,
                  "the camera to show (default: the first camera the bridge lists)");
  sub->add_option("--stream", request->streams,
                  "an articulation stream to plot, articulations/ID/stream_joint_positions or "
                  "articulations/ID/stream_articulation_state; repeat for more (default: the joint "
                  "positions of every articulation the bridge lists)");
  sub->add_option("--host", request->host,
                  "the address to serve on: an IP address or localhost (0.0.0.0 or :: serve every "
                  "interface, without authentication: a warning says so)")
      ->capture_default_str();
  sub->add_option("--port", request->port, "the port to serve on; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  sub->add_option("--fps", request->fps,
                  "pictures per second (default: the camera's own rate, at most 60)")
      ->check(CLI::Range(0.1, 60.0));
  sub->add_option("--history", request->window_seconds, "seconds of joint positions plotted")
      ->check(CLI::Range(1.0, 600.0))
      ->capture_default_str();
  sub->add_option("--quality", request->quality, "JPEG quality of the pictures, 1 to 100")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  sub->add_option("--chart-js", request->chart_js, "the Chart.js script the plots use")
      ->capture_default_str();
  sub->footer(
      "Examples:\n  strandel view                 # then open http://127.0.0.1:8212/\n"
      "  strandel view --camera camera --stream articulations/arm/stream_joint_positions\n"
      "  strandel view --host 0.0.0.0 --port 8080 --fps 10   # seen from other machines");
  commands[sub] = [request, &bridge] { return runView(*request, bridge); };
}

}  // namespace strandel_cli
