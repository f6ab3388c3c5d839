// A program as a user of the installed library writes it: it includes the umbrella header, builds a
// client and turns a 404 answer into an HTTPError. Exit status 0 means every check held.

#include <cstdio>
#include <stdexcept>
#include <string>

#include <strandel/isaacsim_client.hpp>

namespace {

int failures = 0;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "consumer check failed: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  strandel::IsaacSimClient client("consumer", "http://127.0.0.1:9", "ws://127.0.0.1:9");
  check(client.baseUrl() == "http://127.0.0.1:9/", "baseUrl gains one trailing slash");
  check(client.websocketBaseUrl() == "ws://127.0.0.1:9/",
        "websocketBaseUrl gains one trailing slash");

  // An exception thrown inside the shared library is caught here by its standard type.
  try {
    strandel::IsaacSimClient invalid("consumer", "", "ws://127.0.0.1:9");
    check(false, "an empty base_url is rejected");
  } catch (const std::invalid_argument& error) {
    check(std::string(error.what()) == "base_url must not be empty", "invalid_argument text");
  }

  strandel::HttpResponse response;
  response.status = 404;
  response.body = R"({"detail":"no such articulation"})";
  response.headers["Content-Type"] = "application/json";
  check(response.header("content-type") != nullptr, "header lookup folds case");
  check(response.json().at("detail") == "no such articulation", "body parses as JSON");

  // Caught through the base class: HTTPError's type information must cross the library boundary.
  try {
    throw strandel::HTTPError(response.status, response.body);
  } catch (const std::runtime_error& error) {
    check(std::string(error.what()) == "Bridge returned status 404", "HTTPError text");
    const auto* http = dynamic_cast<const strandel::HTTPError*>(&error);
    check(http != nullptr, "dynamic_cast to HTTPError");
    if (http != nullptr) {
      check(http->statusCode() == 404, "statusCode");
      check(http->body() == response.body, "body kept unaltered");
    }
  }

  if (failures == 0) {
    std::puts("consumer: all checks passed");
  }
  return failures == 0 ? 0 : 1;
}
