#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <strandel/camera_frame.hpp>
#include <strandel/errors.hpp>
#include <strandel/http.hpp>

#include "camera/decode_camera_frame.hpp"
#include "camera_frame_writer.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using detail::decodeCameraFrame;
using detail::writeCameraFrame;
using testing_util::responseWith;
using testing_util::thrownText;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr char kNotAFrame[] =
    "camera response is not a binary frame: expected it to start with \"QXB1\"";
constexpr char kPastTheEnd[] =
    "camera frame is truncated: an output claims bytes past the end of the body";
constexpr char kTooDeep[] = "camera frame manifest is nested deeper than 512 levels";
constexpr char kTooLarge[] =
    "camera frame is too large: its outputs claim more than 16 times the length of the body";

json descriptor(json shape, json dtype, json offset, json nbytes) {
  return {{"shape", std::move(shape)},
          {"dtype", std::move(dtype)},
          {"offset", std::move(offset)},
          {"nbytes", std::move(nbytes)}};
}

json manifestOf(json arrays, json structure = json::object()) {
  return {{"structure", std::move(structure)}, {"arrays", std::move(arrays)}};
}

CameraFrame decodeBody(std::string body, long status = 200) {
  return decodeCameraFrame(responseWith(status, std::move(body)));
}

CameraFrame decodeManifest(const json& manifest, std::string_view data) {
  return decodeBody(writeCameraFrame(manifest.dump(), data));
}

/// The data region "0123456789" with one descriptor of the given offset and nbytes.
CameraFrame decodeOneOfTen(json offset, json nbytes) {
  return decodeManifest(
      manifestOf({descriptor(json::array(), "uint8", std::move(offset), std::move(nbytes))}),
      "0123456789");
}

std::string bytesOf(const CameraOutput& output) {
  return std::string(output.data.begin(), output.data.end());
}

template <typename F>
std::string formatErrorText(F&& f) {
  return thrownText<FrameFormatError>(std::forward<F>(f));
}

TEST(CameraDecoder, DecodesTheWorkedExample) {
  const std::string data("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\x06\x00", 12);
  const json manifest =
      manifestOf({descriptor({2, 3}, "uint16", 0, 12)}, {{"front", {{"__ndarray__", 0}}}});
  const std::string text = manifest.dump();
  const std::string body = writeCameraFrame(text, data);
  ASSERT_EQ(body.size(), 8 + text.size() + 12);
  EXPECT_EQ(body.substr(0, 4), "QXB1");
  EXPECT_EQ(static_cast<unsigned char>(body[4]), text.size());

  auto response = std::make_unique<HttpResponse>(responseWith(200, body));
  const CameraFrame frame = decodeCameraFrame(*response);
  EXPECT_EQ(response->body, body);  // the response is not modified
  response.reset();                 // and the frame does not depend on it

  EXPECT_EQ(frame.structure, manifest["structure"]);
  ASSERT_EQ(frame.outputs.size(), 1u);
  const CameraOutput* front = frame.output("front");
  ASSERT_EQ(front, &frame.outputs[0]);
  EXPECT_EQ(front->shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(front->dtype, "uint16");
  EXPECT_EQ(front->elementCount(), 6u);
  EXPECT_EQ(front->itemSize(), 2u);
  EXPECT_EQ(bytesOf(*front), data);
}

TEST(CameraDecoder, StatusOutside2xxRaisesHttpErrorWithoutLookingAtTheBody) {
  const std::string valid = writeCameraFrame(manifestOf(json::array()).dump(), "");
  for (const long status : {199L, 300L, 404L, 500L, 0L, -1L}) {
    try {
      decodeBody(valid, status);
      ADD_FAILURE() << "no HTTPError for " << status;
    } catch (const HTTPError& error) {
      EXPECT_EQ(error.statusCode(), status);
      EXPECT_EQ(error.body(), valid);
      EXPECT_EQ(std::string(error.what()), "Bridge returned status " + std::to_string(status));
    }
  }
  EXPECT_EQ(thrownText<HTTPError>([] { decodeBody("not a frame", 503); }),
            "Bridge returned status 503");
  EXPECT_TRUE(decodeBody(valid, 200).outputs.empty());
  EXPECT_TRUE(decodeBody(valid, 299).outputs.empty());
}

TEST(CameraDecoder, RefusesBodiesWithoutTheMagic) {
  const std::string good_rest = std::string("\x02\x00\x00\x00", 4) + "{}";
  for (const std::string& body :
       {std::string(), std::string("QXB1"), std::string("QXB1\x00\x00\x00", 7), "qxb1" + good_rest,
        "QXB2" + good_rest, " QXB1" + good_rest, "xxxxQXB1" + good_rest}) {
    EXPECT_EQ(formatErrorText([&] { decodeBody(body); }), kNotAFrame) << body;
  }
}

TEST(CameraDecoder, RefusesAManifestLongerThanTheBody) {
  std::string body = writeCameraFrame("{}", std::string(190, 'x'));
  body[4] = static_cast<char>(500 & 0xFF);
  body[5] = static_cast<char>(500 >> 8);
  ASSERT_EQ(body.size(), 200u);
  EXPECT_EQ(formatErrorText([&] { decodeBody(body); }),
            "camera frame is truncated: its manifest claims 500 bytes but the body holds 200");
  EXPECT_EQ(formatErrorText([] { decodeBody(std::string("QXB1\xFF\xFF\xFF\xFF", 8)); }),
            "camera frame is truncated: its manifest claims 4294967295 bytes but the body holds 8");
  EXPECT_EQ(formatErrorText([] { decodeBody(std::string("QXB1\x03\x00\x00\x00{}", 10)); }),
            "camera frame is truncated: its manifest claims 3 bytes but the body holds 10");
}

TEST(CameraDecoder, ParsesExactlyTheManifestBytesStrictly) {
  const auto parseErrorText = [](const std::string& manifest, const std::string& data = "") {
    return thrownText<json::parse_error>([&] { decodeBody(writeCameraFrame(manifest, data)); })
        .substr(0, 32);
  };
  const std::string minimal = R"({"structure":1,"arrays":[]})";
  // An empty manifest (an 8-byte body) fails at the parse, not at the length test.
  EXPECT_EQ(parseErrorText(""), "[json.exception.parse_error.101]");
  EXPECT_EQ(parseErrorText(minimal + " {}"), "[json.exception.parse_error.101]");
  EXPECT_EQ(parseErrorText("/* note */" + minimal), "[json.exception.parse_error.101]");
  EXPECT_EQ(parseErrorText(minimal.substr(0, minimal.size() - 1), "}"),
            "[json.exception.parse_error.101]");
  EXPECT_EQ(decodeBody(writeCameraFrame(" \r\n" + minimal + " \n\t ", "")).structure, 1);
  // JSON text in the data region is never read as manifest.
  EXPECT_EQ(decodeBody(writeCameraFrame(minimal, "{\"x\":")).structure, 1);
}

TEST(CameraDecoder, ManifestAndMemberShapesFollowTheAccessRules) {
  const auto jsonErrorText = [](const json& manifest) {
    return thrownText<json::exception>([&] { decodeManifest(manifest, "0123"); });
  };
  EXPECT_EQ(jsonErrorText(json::array({1})),
            "[json.exception.type_error.304] cannot use at() with array");
  EXPECT_EQ(jsonErrorText("frame"), "[json.exception.type_error.304] cannot use at() with string");
  EXPECT_EQ(jsonErrorText(json::object()),
            "[json.exception.out_of_range.403] key 'structure' not found");
  EXPECT_EQ(jsonErrorText({{"structure", {}}}),
            "[json.exception.out_of_range.403] key 'arrays' not found");
  EXPECT_EQ(jsonErrorText({{"arrays", json::array()}}),
            "[json.exception.out_of_range.403] key 'structure' not found");
  EXPECT_EQ(jsonErrorText(manifestOf({5})),
            "[json.exception.type_error.304] cannot use at() with number");
  EXPECT_EQ(jsonErrorText(manifestOf("x")),  // a single value is visited as itself
            "[json.exception.type_error.304] cannot use at() with string");

  const json full = descriptor({1}, "uint8", 0, 1);
  for (const char* key : {"shape", "dtype", "offset", "nbytes"}) {
    json partial = full;
    partial.erase(key);
    EXPECT_EQ(jsonErrorText(manifestOf({full, partial})),
              std::string("[json.exception.out_of_range.403] key '") + key + "' not found");
  }
  const std::vector<std::pair<json, std::string>> kinds = {{"3", "string"},
                                                           {3, "number"},
                                                           {nullptr, "null"},
                                                           {json::object(), "object"},
                                                           {true, "boolean"}};
  for (const auto& [shape, kind] : kinds) {
    EXPECT_EQ(jsonErrorText(manifestOf({descriptor(shape, "uint8", 0, 1)})),
              "[json.exception.type_error.302] type must be array, but is " + kind);
  }
  const std::vector<std::pair<json, std::string>> non_numbers = {{"2", "string"},
                                                                 {true, "boolean"},
                                                                 {nullptr, "null"},
                                                                 {json::array({1}), "array"},
                                                                 {json::object(), "object"}};
  for (const auto& [value, kind] : non_numbers) {
    const std::string expected =
        "[json.exception.type_error.302] type must be number, but is " + kind;
    EXPECT_EQ(jsonErrorText(manifestOf({descriptor({1, value}, "uint8", 0, 1)})), expected);
    EXPECT_EQ(jsonErrorText(manifestOf({descriptor({1}, "uint8", value, 1)})), expected);
    EXPECT_EQ(jsonErrorText(manifestOf({descriptor({1}, "uint8", 0, value)})), expected);
  }
  // Members are read in order: shape, dtype, offset, nbytes.
  json no_dtype = descriptor({"x"}, "uint8", "y", true);
  no_dtype.erase("dtype");
  EXPECT_EQ(jsonErrorText(manifestOf({no_dtype})),
            "[json.exception.type_error.302] type must be number, but is string");
  no_dtype["shape"] = {1};
  EXPECT_EQ(jsonErrorText(manifestOf({no_dtype})),
            "[json.exception.out_of_range.403] key 'dtype' not found");
  EXPECT_EQ(jsonErrorText(manifestOf({descriptor({1}, "uint8", "y", true)})),
            "[json.exception.type_error.302] type must be number, but is string");
  // A descriptor failing after a good one still ends the call.
  EXPECT_EQ(jsonErrorText(manifestOf({full, 7})),
            "[json.exception.type_error.304] cannot use at() with number");
}

TEST(CameraDecoder, BoundsAreCheckedWithoutWrapAround) {
  EXPECT_EQ(bytesOf(decodeOneOfTen(0, 10).outputs.at(0)), "0123456789");
  EXPECT_EQ(bytesOf(decodeOneOfTen(3, 7).outputs.at(0)), "3456789");
  EXPECT_TRUE(decodeOneOfTen(10, 0).outputs.at(0).data.empty());  // offset = R, nbytes 0
  for (const auto& [offset, nbytes] : std::vector<std::pair<json, json>>{
           {11, 0},  // offset = R + 1
           {0, 11},  // one byte too many
           {5, 6},
           {-1, 0},  // negative values become huge
           {0, -1},
           {kMax, 1},  // offset + nbytes wraps to 0
           {1, kMax},
           {kMax, kMax},
           {1e300, 0},  // beyond the range: the largest value
           {0, 1e300},
           {-2.5, 1},  // truncated to -2, taken modulo 2^64
           {0, -1e20},
       }) {
    EXPECT_EQ(formatErrorText([&] { decodeOneOfTen(offset, nbytes); }), kPastTheEnd)
        << offset << " " << nbytes;
  }
}

TEST(CameraDecoder, FractionsTruncateTowardZeroEverywhere) {
  const CameraFrame frame = decodeManifest(
      manifestOf({descriptor({2.7, 1e300, -2.5, -1, 1e20, -1e20, 0.2}, "uint8", 2.9, 3.99),
                  descriptor(json::array(), "uint8", -0.5, 1)}),
      "0123456789");
  ASSERT_EQ(frame.outputs.size(), 2u);
  EXPECT_EQ(frame.outputs[0].shape,
            (std::vector<std::uint64_t>{2, kMax, kMax - 1, kMax, kMax, kMax, 0}));
  EXPECT_EQ(bytesOf(frame.outputs[0]), "234");
  EXPECT_EQ(bytesOf(frame.outputs[1]), "0");
}

TEST(CameraDecoder, AManifestFillingTheBodyLeavesAnEmptyDataRegion) {
  const json manifest = manifestOf({descriptor({0}, "float32", 0, 0)});
  const CameraFrame frame = decodeBody(writeCameraFrame(manifest.dump(), ""));
  ASSERT_EQ(frame.outputs.size(), 1u);
  EXPECT_TRUE(frame.outputs[0].data.empty());
  EXPECT_EQ(formatErrorText([] {
              decodeBody(writeCameraFrame(manifestOf({descriptor({1}, "uint8", 0, 1)}).dump(), ""));
            }),
            kPastTheEnd);
}

TEST(CameraDecoder, ArraysMayBeEmptyNullOrAnObject) {
  const json structure = {{"note", "no arrays"}, {"n", 3}};
  for (const json& arrays : {json::array(), json(nullptr)}) {
    const CameraFrame frame = decodeManifest(manifestOf(arrays, structure), "unclaimed");
    EXPECT_EQ(frame.structure, structure);
    EXPECT_TRUE(frame.outputs.empty());
  }
  EXPECT_EQ(decodeManifest(manifestOf(json::array(), 42), "").structure, 42);
  // An object's member values are visited in ascending key order.
  const CameraFrame by_key =
      decodeManifest(manifestOf({{"b", descriptor(json::array(), "uint8", 1, 1)},
                                 {"a", descriptor(json::array(), "uint8", 0, 1)}}),
                     "AB");
  ASSERT_EQ(by_key.outputs.size(), 2u);
  EXPECT_EQ(bytesOf(by_key.outputs[0]), "A");
  EXPECT_EQ(bytesOf(by_key.outputs[1]), "B");
}

TEST(CameraDecoder, DtypeIsTheStringOrTheCompactJsonText) {
  const CameraFrame frame = decodeManifest(
      manifestOf(
          {descriptor(json::array(), 5, 0, 0), descriptor(json::array(), nullptr, 0, 0),
           descriptor(json::array(), {{"b", json::array({1, "\xC3\xA9"})}, {"a", 2.5}}, 0, 0),
           descriptor(json::array(), " Float32 ", 0, 0)}),
      "");
  ASSERT_EQ(frame.outputs.size(), 4u);
  EXPECT_EQ(frame.outputs[0].dtype, "5");
  EXPECT_EQ(frame.outputs[0].itemSize(), 0u);
  EXPECT_EQ(frame.outputs[1].dtype, "null");
  EXPECT_EQ(frame.outputs[2].dtype, "{\"a\":2.5,\"b\":[1,\"\xC3\xA9\"]}");
  EXPECT_EQ(frame.outputs[3].dtype, " Float32 ");
}

TEST(CameraDecoder, OverlapsGapsAndUnclaimedBytes) {
  json manifest = manifestOf({descriptor({4}, "uint8", 2, 4), descriptor({4}, "uint8", 2, 4),
                              descriptor({2}, "uint8", 0, 2), descriptor({3}, "uint8", 4, 3)});
  manifest["version"] = 7;  // other members are ignored
  manifest["arrays"][0]["strides"] = {1};
  const CameraFrame frame = decodeManifest(manifest, "abcdefghij");
  ASSERT_EQ(frame.outputs.size(), 4u);
  EXPECT_EQ(bytesOf(frame.outputs[0]), "cdef");
  EXPECT_EQ(frame.outputs[0].data, frame.outputs[1].data);
  EXPECT_NE(frame.outputs[0].data.data(), frame.outputs[1].data.data());
  EXPECT_EQ(bytesOf(frame.outputs[2]), "ab");
  EXPECT_EQ(bytesOf(frame.outputs[3]), "efg");
  // The decoder compares nothing: nbytes need not match shape x item size, placeholders need not
  // exist.
  const CameraFrame loose = decodeManifest(
      manifestOf({descriptor({100, 100}, "float64", 0, 3)}, {{"x", {{"__ndarray__", 9}}}}), "xyz");
  EXPECT_EQ(bytesOf(loose.outputs.at(0)), "xyz");
  EXPECT_EQ(loose.output("x"), nullptr);
}

std::string nested(std::size_t levels, const std::string& innermost) {
  return std::string(levels, '[') + innermost + std::string(levels, ']');
}

TEST(CameraDecoder, RefusesManifestsNestedBeyondTheBound) {
  // The manifest object is level 1, so "structure" may hold 511 more levels.
  const std::string at_bound = R"({"arrays":[],"structure":)" + nested(511, "1") + "}";
  const CameraFrame frame = decodeBody(writeCameraFrame(at_bound, ""));
  const CameraFrame copy = frame;  // copying recurses once per level
  EXPECT_EQ(copy.structure, frame.structure);
  EXPECT_EQ(frame.structure.dump(), nested(511, "1"));

  const std::string over = R"({"arrays":[],"structure":)" + nested(512, "1") + "}";
  EXPECT_EQ(formatErrorText([&] { decodeBody(writeCameraFrame(over, "")); }), kTooDeep);
  // A hostile manifest a million levels deep is refused before anything is built.
  const std::string hostile = R"({"arrays":[],"structure":)" + nested(1000000, "") + "}";
  EXPECT_EQ(formatErrorText([&] { decodeBody(writeCameraFrame(hostile, "")); }), kTooDeep);
  // Deep nesting inside a non-string dtype is bounded the same way.
  const std::string deep_dtype =
      R"({"structure":0,"arrays":[{"shape":[],"offset":0,"nbytes":0,"dtype":)" + nested(509, "0") +
      "}]}";
  EXPECT_EQ(decodeBody(writeCameraFrame(deep_dtype, "")).outputs.at(0).dtype, nested(509, "0"));
  EXPECT_EQ(formatErrorText([&] {
              decodeBody(writeCameraFrame(
                  R"({"structure":0,"arrays":[{"dtype":)" + nested(511, "0") + "}]}", ""));
            }),
            kTooDeep);
}

TEST(CameraDecoder, BracketsInsideStringsDoNotCountAsNesting) {
  const std::string text = std::string(2000, '[') + "\\\"" + std::string(2000, '{');
  const std::string manifest = R"({"arrays":[],"structure":{"s":")" + text + "\"}}";
  const CameraFrame frame = decodeBody(writeCameraFrame(manifest, ""));
  EXPECT_EQ(frame.structure["s"], std::string(2000, '[') + "\"" + std::string(2000, '{'));
}

TEST(CameraDecoder, BoundsTheTotalBytesCopiedFromOverlappingArrays) {
  const std::string region(100000, 'r');
  const json whole = descriptor({100000}, "uint8", 0, 100000);
  // Sixteen full copies always fit: every array is shorter than the body.
  const CameraFrame sixteen =
      decodeManifest(manifestOf(json(std::vector<json>(16, whole))), region);
  EXPECT_EQ(sixteen.outputs.size(), 16u);
  EXPECT_EQ(formatErrorText(
                [&] { decodeManifest(manifestOf(json(std::vector<json>(17, whole))), region); }),
            kTooLarge);
  // Thousands of copies of one region are refused once the outputs reach the bound.
  EXPECT_EQ(formatErrorText(
                [&] { decodeManifest(manifestOf(json(std::vector<json>(2000, whole))), region); }),
            kTooLarge);
}

}  // namespace
}  // namespace strandel
