#include "example_support.hpp"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "depth_pictures.hpp"
#include "png_encoder.hpp"

namespace strandel_examples {
namespace {

const std::vector<Option> kBridgeOptions = {
    {"--http-url", "http://127.0.0.1:8211/", "the bridge's HTTP base URL"},
    {"--ws-url", "",
     "the bridge's WebSocket base URL (default: the HTTP URL with ws instead of http)"},
    {"--timeout-ms", "10000", "time-out of one transfer attempt in milliseconds"},
    {"--retries", "3", "retries of a failed transfer or of a transient status"},
};

/// Writes the PNG file `encode` returns to `path`, replacing any file there. Throws
/// std::runtime_error "cannot write PNG to '<path>'" when encoding or writing fails.
template <typename Encode>
void writePng(const std::string& path, Encode&& encode) {
  std::string png;
  try {
    png = encode();
  } catch (const std::exception&) {
    throw std::runtime_error("cannot write PNG to '" + path + "'");
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file.write(png.data(), static_cast<std::streamsize>(png.size())) || !file.flush())
    throw std::runtime_error("cannot write PNG to '" + path + "'");
}

/// Says on stderr that the bridge at `line`'s --http-url cannot be reached, and how to start one.
int cannotReach(const CommandLine& line, const std::exception& e) {
  std::cerr << line.program() << ": cannot reach the bridge at " << line.text("--http-url") << " ("
            << e.what() << ")\n"
            << "  Is it running? A local stand-in starts with: strandel-mock-bridge --port 8211\n";
  return 2;
}

}  // namespace

CommandLine::CommandLine(std::string program, std::string summary, std::vector<Option> options)
    : program_(std::move(program)), summary_(std::move(summary)), options_(std::move(options)) {
  options_.insert(options_.end(), kBridgeOptions.begin(), kBridgeOptions.end());
  for (const Option& option : options_) values_[option.name] = option.value;
}

void CommandLine::parse(int argc, char** argv) {
  // CLI11 reads "--name value" and "--name=value" (the last one given counts); the values are
  // checked here, so that every problem reads the same way.
  CLI::App app(summary_, program_);
  app.allow_extras();
  app.set_help_flag("-h,--help", "show this text");
  for (const Option& option : options_) {
    app.add_option(option.name, values_[option.name],
                   option.help + (option.value.empty() ? "" : " (default " + option.value + ")"))
        ->type_name("VALUE")
        ->expected(0, 1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    std::exit(0);
  } catch (const CLI::ParseError& e) {
    fail(e.what());
  }
  if (!app.remaining().empty()) fail("unknown option '" + app.remaining().front() + "'");
  // An option given without a value is empty; that is its default only where the default is empty.
  for (const Option& option : options_) {
    if (!option.value.empty() && values_[option.name].empty()) fail(option.name + " needs a value");
  }
  std::string& ws = values_["--ws-url"];
  if (ws.empty()) ws = strandel::websocketUrlFor(values_["--http-url"]);
  integer("--timeout-ms");
  integer("--retries");
}

const std::string& CommandLine::text(const std::string& name) const { return values_.at(name); }

int CommandLine::integer(const std::string& name) const {
  const std::string& value = text(name);
  char* end = nullptr;
  const long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || number < std::numeric_limits<int>::min() ||
      number > std::numeric_limits<int>::max())
    fail(name + " expects a whole number, not '" + value + "'");
  return static_cast<int>(number);
}

double CommandLine::number(const std::string& name) const {
  const std::string& value = text(name);
  char* end = nullptr;
  const double number = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || !std::isfinite(number))
    fail(name + " expects a number, not '" + value + "'");
  return number;
}

std::unique_ptr<strandel::IsaacSimClient> CommandLine::makeClient() const {
  return std::make_unique<strandel::IsaacSimClient>(
      program_, text("--http-url"), text("--ws-url"),
      std::chrono::milliseconds(integer("--timeout-ms")), integer("--retries"));
}

void CommandLine::fail(const std::string& message) const {
  std::cerr << program_ << ": " << message << " (see --help)\n";
  std::exit(2);
}

int runExample(const CommandLine& line, const std::function<void()>& body) {
  // Failures are told apart by their kind (most derived first), never by their texts.
  try {
    body();
    return 0;
  } catch (const strandel::HTTPError& e) {
    std::cerr << line.program() << ": the bridge refused a request: " << e.what() << ": "
              << e.body() << "\n";
    return 1;
  } catch (const strandel::HandshakeError& e) {
    if (e.statusCode() == 0) return cannotReach(line, e);  // no answer at all
    // The body is what libcurl handed on of the refusal, often nothing.
    std::cerr << line.program() << ": the bridge refused the stream " << e.url() << " with status "
              << e.statusCode() << (e.body().empty() ? "" : ": ") << e.body() << "\n";
    return 1;
  } catch (const strandel::TransportError& e) {  // TimeoutError included
    return cannotReach(line, e);
  } catch (const std::exception& e) {
    std::cerr << line.program() << ": " << e.what() << "\n";
    return 1;
  }
}

void writeRgbPng(const std::string& path, const strandel::CameraOutput& rgb) {
  if (rgb.dtype != "uint8" || rgb.shape.size() != 3 || rgb.shape[2] != 3 ||
      rgb.data.size() != rgb.elementCount() || rgb.shape[0] > 65535 || rgb.shape[1] > 65535)
    throw std::runtime_error("the rgb output is not an [height, width, 3] uint8 image");
  writePng(path, [&] {
    return strandel_pictures::encodePng8(static_cast<std::uint32_t>(rgb.shape[1]),
                                         static_cast<std::uint32_t>(rgb.shape[0]),
                                         strandel_pictures::PngColour::Rgb, rgb.data);
  });
}

strandel_pictures::DepthRange writeDepthPng(const std::string& path,
                                            const strandel::CameraOutput& depth) {
  const bool image = depth.dtype == "float32" && depth.shape.size() == 2 &&
                     depth.shape[0] <= 65535 && depth.shape[1] <= 65535;
  const std::optional<std::vector<double>> metres =
      image ? strandel_pictures::depthValues(depth) : std::nullopt;
  if (!metres) throw std::runtime_error("the depth output is not an [height, width] float32 image");
  writePng(path, [&] {
    return strandel_pictures::encodePng8(
        static_cast<std::uint32_t>(depth.shape[1]), static_cast<std::uint32_t>(depth.shape[0]),
        strandel_pictures::PngColour::Grey, strandel_pictures::depthGrey(*metres));
  });
  return strandel_pictures::depthRange(*metres);
}

Cleanup::~Cleanup() {
  for (auto it = actions_.rbegin(); it != actions_.rend(); ++it) {
    try {
      (*it)();
    } catch (...) {
      // Best effort: the bridge may already be gone.
    }
  }
}

}  // namespace strandel_examples
