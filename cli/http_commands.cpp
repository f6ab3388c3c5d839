#include "http_commands.hpp"

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include <CLI/CLI.hpp>

#include "body_text.hpp"

namespace strandel_cli {
namespace {

struct Verb {
  const char* name;
  const char* method;
  bool takes_body;
  const char* description;
  const char* example;
};

constexpr Verb kVerbs[] = {
    {"get", "GET", false, "Send GET PATH to the bridge and print its answer.",
     "strandel get articulations/arm/joints_state"},
    {"post", "POST", true, "Send POST PATH with BODY to the bridge and print its answer.",
     "strandel post articulations/arm/set_j '{\"indices\":[2],\"joint_positions\":[0.3]}'"},
    {"put", "PUT", true, "Send PUT PATH with BODY to the bridge and print its answer.",
     "strandel put cameras '{\"prim_path\":\"/World/camera\",\"resolution\":[320,240]}'"},
    {"patch", "PATCH", true, "Send PATCH PATH with BODY to the bridge and print its answer.",
     "echo '{\"coaxial_force_limit\":50}' | strandel patch surface_grippers/gripper/properties -"},
    {"delete", "DELETE", false, "Send DELETE PATH to the bridge and print its answer.",
     "strandel delete cameras/camera"},
};

struct Request {
  std::string path;
  std::string body;
  bool include_head = false;
};

/// The text BODY stands for: a file's content for "@file", standard input for "-", else itself.
std::string bodyText(const std::string& argument) {
  if (argument == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  if (!argument.empty() && argument[0] == '@') {
    std::ifstream file(argument.substr(1), std::ios::binary);
    if (!file) throw UsageError("cannot read the body file '" + argument.substr(1) + "'");
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
  }
  return argument;
}

/// The status line and headers, as `-i` shows them, ending in an empty line.
std::string headText(const strandel::HttpResponse& response) {
  std::string text = "HTTP " + std::to_string(response.status) + "\n";
  for (const auto& [name, value] : response.headers) text += name + ": " + value + "\n";
  return text + "\n";
}

int runRequest(const Verb& verb, const Request& request, const BridgeOptions& bridge) {
  std::string body;
  if (verb.takes_body && !request.body.empty()) {
    body = bodyText(request.body);
    try {
      const strandel::json parsed = strandel::json::parse(body);
      static_cast<void>(parsed);
    } catch (const strandel::json::parse_error& e) {
      throw UsageError(std::string("BODY is not JSON: ") + e.what());
    }
  }
  const auto client = makeClient(bridge);
  const std::string label = std::string(verb.method) + " " + requestUrl(*client, request.path);
  strandel::HttpResponse response;
  try {
    const std::string_view method = verb.method;
    if (method == "GET") {
      response = client->get(request.path);
    } else if (method == "POST") {
      response = client->post(request.path, body);
    } else if (method == "PUT") {
      response = client->put(request.path, body);
    } else if (method == "PATCH") {
      response = client->patch(request.path, body);
    } else {
      response = client->deleteRequest(request.path);
    }
  } catch (...) {
    rethrowAsFailure(label);
  }
  if (request.include_head) std::cout << headText(response) << std::flush;
  if (response.status < 200 || response.status > 299) {
    throw Failure(kRefused, label + ": " + strandel::HTTPError(response.status, {}).what(),
                  response.body);
  }
  std::cout << formatBody(response.body) << std::flush;
  return kSuccess;
}

}  // namespace

void addHttpCommands(CLI::App& app, const BridgeOptions& bridge, Commands& commands) {
  for (const Verb& verb : kVerbs) {
    CLI::App* sub = app.add_subcommand(verb.name, verb.description);
    auto request = std::make_shared<Request>();
    sub->add_option("PATH", request->path, "path below the bridge's URL, e.g. articulations/arm")
        ->required();
    if (verb.takes_body) {
      sub->add_option("BODY", request->body,
                      "JSON text, @FILE for a file's content, or - for standard input "
                      "(default: empty, which the bridge reads as {})");
    }
    sub->add_flag("-i,--include", request->include_head,
                  "print the status line and headers before the body");
    sub->footer(std::string("Example:\n  ") + verb.example);
    commands[sub] = [&verb, request, &bridge] { return runRequest(verb, *request, bridge); };
  }
}

}  // namespace strandel_cli
