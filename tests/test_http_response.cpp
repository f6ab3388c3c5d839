#include <stdexcept>
#include <string>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "client/parse_json_response.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using testing_util::responseWith;

TEST(HttpError, MessageStatusAndBody) {
  const HTTPError e(404, "{\"error\":\"no such thing\"}");
  EXPECT_STREQ(e.what(), "Bridge returned status 404");
  EXPECT_EQ(e.statusCode(), 404);
  EXPECT_EQ(e.body(), "{\"error\":\"no such thing\"}");
  EXPECT_STREQ(HTTPError(-7, "").what(), "Bridge returned status -7");
  EXPECT_STREQ(HTTPError(0, "").what(), "Bridge returned status 0");
  const std::runtime_error& base = e;  // caught by runtime_error handlers
  EXPECT_STREQ(base.what(), "Bridge returned status 404");
}

TEST(HttpError, CopyKeepsEverythingMoveTakesOnlyTheBody) {
  HTTPError source(503, "busy");
  const HTTPError copy(source);
  EXPECT_STREQ(copy.what(), "Bridge returned status 503");
  EXPECT_EQ(copy.statusCode(), 503);
  EXPECT_EQ(copy.body(), "busy");
  EXPECT_EQ(source.body(), "busy");

  HTTPError moved(std::move(source));
  EXPECT_EQ(moved.body(), "busy");
  EXPECT_EQ(moved.statusCode(), 503);
  EXPECT_TRUE(source.body().empty());  // NOLINT(bugprone-use-after-move): the contract under test
  EXPECT_STREQ(source.what(), "Bridge returned status 503");

  HTTPError target(400, "old");
  target = copy;
  EXPECT_STREQ(target.what(), "Bridge returned status 503");
  EXPECT_EQ(target.body(), "busy");
  HTTPError other(418, "teapot");
  target = std::move(other);
  EXPECT_STREQ(target.what(), "Bridge returned status 418");
  EXPECT_EQ(target.statusCode(), 418);
  EXPECT_EQ(target.body(), "teapot");
  EXPECT_STREQ(other.what(), "Bridge returned status 418");  // NOLINT(bugprone-use-after-move)
}

TEST(ParseJsonResponse, SuccessRangeIsExactly200To299) {
  for (long status : {199L, 300L, 302L, 404L, 500L, 0L}) {
    try {
      detail::parseJsonResponse(responseWith(status, "{\"a\":1}"));
      ADD_FAILURE() << status << " passed";
    } catch (const HTTPError& e) {
      EXPECT_EQ(e.statusCode(), status);
      EXPECT_EQ(e.body(), "{\"a\":1}");
    }
  }
  EXPECT_EQ(detail::parseJsonResponse(responseWith(200, "{\"a\":1}")), json({{"a", 1}}));
  EXPECT_EQ(detail::parseJsonResponse(responseWith(299, "[1,2]")), json({1, 2}));
}

TEST(ParseJsonResponse, EmptySuccessBodyIsAnEmptyObjectButJsonViewThrows) {
  const HttpResponse r = responseWith(204, "");
  const json value = detail::parseJsonResponse(r);
  EXPECT_TRUE(value.is_object());
  EXPECT_TRUE(value.empty());
  EXPECT_THROW(r.json(), nlohmann::json::parse_error);
}

TEST(ParseJsonResponse, MalformedSuccessBodyPropagatesTheParseError) {
  EXPECT_THROW(detail::parseJsonResponse(responseWith(200, "not json")),
               nlohmann::json::parse_error);
  EXPECT_THROW(detail::parseJsonResponse(responseWith(200, "{} {}")), nlohmann::json::parse_error);
  EXPECT_THROW(detail::parseJsonResponse(responseWith(200, "/* c */ {}")),
               nlohmann::json::parse_error);
  // A parse error is not a runtime_error: transport handlers do not swallow it.
  try {
    detail::parseJsonResponse(responseWith(200, "nope"));
  } catch (const std::runtime_error&) {
    ADD_FAILURE() << "parse_error must not derive from runtime_error";
  } catch (const nlohmann::json::parse_error&) {}
}

TEST(HeaderLookup, FoldsAsciiCaseAndMatchesWholeNamesOnly) {
  HttpResponse r;
  EXPECT_EQ(r.header("anything"), nullptr);
  r.headers = {{"Content-Type", "application/json"}, {"content-type", "text/plain"}, {"", "e"}};
  ASSERT_NE(r.header("content-type"), nullptr);
  EXPECT_EQ(*r.header("content-type"), "application/json");  // "C" sorts before "c"
  EXPECT_EQ(*r.header("CONTENT-TYPE"), "application/json");
  EXPECT_EQ(r.header("content-type "), nullptr);
  EXPECT_EQ(r.header("content-typ"), nullptr);
  EXPECT_EQ(*r.header(""), "e");
  r.headers.emplace("\xE9t\xE9", "latin1");
  EXPECT_EQ(*r.header("\xE9T\xE9"), "latin1");
  EXPECT_EQ(r.header("\xC9T\xC9"), nullptr);  // only ASCII letters fold
}

}  // namespace
}  // namespace strandel
