#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "client/json_body.hpp"

namespace strandel {
namespace {

using detail::writeJsonBody;

TEST(JsonBody, CompactWithKeysInAscendingByteOrderAtEveryDepth) {
  json body = json::object();
  body["zeta"] = json::array({3, json::object({{"b", true}, {"a", nullptr}})});
  body["alpha"] = "text with spaces";
  body["Beta"] = json::object();
  body["\xC3\xA9t\xC3\xA9"] = json::array();  // bytes above 0x7F sort after every ASCII key
  EXPECT_EQ(writeJsonBody(body),
            "{\"Beta\":{},\"alpha\":\"text with spaces\",\"zeta\":[3,{\"a\":null,\"b\":true}],"
            "\"\xC3\xA9t\xC3\xA9\":[]}");
}

TEST(JsonBody, NonAsciiStaysRawUtf8) {
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x9C\x93 \xF0\x9F\xA4\x96";
  EXPECT_EQ(writeJsonBody(json(text)), "\"" + text + "\"");
}

TEST(JsonBody, WholeDoublesKeepAFractionalPartAndIntegersDoNot) {
  EXPECT_EQ(writeJsonBody(json::array({1.0, -0.0, 0.5, 1, 0u})), "[1.0,-0.0,0.5,1,0]");
}

TEST(JsonBody, NonFiniteDoublesBecomeNull) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const json body = {{"values", {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 2.0}}};
  EXPECT_EQ(writeJsonBody(body), "{\"values\":[null,null,null,2.0]}");
}

std::string typeErrorText(const json& body) {
  try {
    writeJsonBody(body);
  } catch (const json::type_error& e) {
    EXPECT_EQ(e.id, 316);
    return e.what();
  }
  return "<no type_error>";
}

TEST(JsonBody, InvalidUtf8ThrowsTypeError316InValuesAndKeys) {
  EXPECT_EQ(typeErrorText(json::array({"ok", "a\xFF"})),
            "[json.exception.type_error.316] invalid UTF-8 byte at index 1: 0xFF");
  EXPECT_EQ(typeErrorText(json::object({{"k", "ab\xC3"}})),
            "[json.exception.type_error.316] incomplete UTF-8 string; last byte: 0xC3");
  EXPECT_EQ(typeErrorText(json::object({{"\xC3\x28", 1}})),
            "[json.exception.type_error.316] invalid UTF-8 byte at index 1: 0x28");
}

}  // namespace
}  // namespace strandel
