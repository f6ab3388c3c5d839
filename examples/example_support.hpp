#pragma once

// What the three examples share: a small command line (parsed by CLI11) with the bridge's URLs,
// the client built from it, PNG writing, and the one place that turns failures into a clear
// message and an exit code.
//
// To copy an example into your own project, take the example's .cpp, this file and
// example_support.cpp, and the four files of the repository's pictures/ folder
// (depth_pictures.hpp/.cpp, png_encoder.hpp/.cpp: depth shading and PNG encoding), all into one
// folder; build them into one program linked with strandel::isaacsim_client, CLI11::CLI11 and
// ZLIB::ZLIB (find_package(CLI11 CONFIG) and find_package(ZLIB) in CMake).

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <strandel/isaacsim_client.hpp>

#include "depth_pictures.hpp"

namespace strandel_examples {

/// One "--name value" option with its default and a line of help.
struct Option {
  std::string name;
  std::string value;
  std::string help;
};

/// The command line of one example. Every example also takes --http-url, --ws-url, --timeout-ms
/// and --retries; --ws-url defaults to strandel::websocketUrlFor(--http-url): "http" replaced by
/// "ws", "https" by "wss".
class CommandLine {
 public:
  CommandLine(std::string program, std::string summary, std::vector<Option> options);

  /// Reads "--name value" and "--name=value" with CLI11. Prints the help and exits 0 for --help;
  /// prints the problem and exits 2 for an unknown option, a missing value or a malformed number.
  void parse(int argc, char** argv);

  const std::string& text(const std::string& name) const;
  int integer(const std::string& name) const;
  double number(const std::string& name) const;
  const std::string& program() const { return program_; }

  /// A client for the bridge named on the command line.
  std::unique_ptr<strandel::IsaacSimClient> makeClient() const;

 private:
  [[noreturn]] void fail(const std::string& message) const;

  std::string program_;
  std::string summary_;
  std::vector<Option> options_;
  std::map<std::string, std::string> values_;
};

/// Runs `body` and turns what it throws into a message on stderr and an exit code, by the
/// exception's kind: 0 when it returns; 2 when the bridge at --http-url cannot be reached or stops
/// answering (strandel::TransportError, TimeoutError included, or a HandshakeError without an
/// answer); 1 for every other failure (a refusal, HTTPError or a HandshakeError with a status,
/// shows the bridge's status and body).
int runExample(const CommandLine& line, const std::function<void()>& body);

/// Writes an [height, width, 3] uint8 output as an RGB PNG, replacing any file at `path`. Throws
/// std::runtime_error when the output has another shape or type, or the file cannot be written.
void writeRgbPng(const std::string& path, const strandel::CameraOutput& rgb);

/// Writes an [height, width] float32 depth output as an 8-bit grey PNG (strandel_pictures::
/// depthGrey: near bright and far dark, nothing hit black), scaled from the nearest depth to the
/// 95th percentile of the finite depths, replacing any file at `path`; returns that range in
/// metres. Throws as writeRgbPng.
strandel_pictures::DepthRange writeDepthPng(const std::string& path,
                                            const strandel::CameraOutput& depth);

/// Actions run in reverse order when the scope ends, unless dismissed: removes what an example
/// created when it stops half-way. Failures of the actions are ignored.
class Cleanup {
 public:
  Cleanup() = default;
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;
  ~Cleanup();
  void add(std::function<void()> action) { actions_.push_back(std::move(action)); }
  void dismiss() { actions_.clear(); }
  bool empty() const { return actions_.empty(); }

 private:
  std::vector<std::function<void()>> actions_;
};

}  // namespace strandel_examples
