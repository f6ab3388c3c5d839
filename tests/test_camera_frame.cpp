#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <strandel/camera_frame.hpp>

#include "camera/unsigned_number.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using testing_util::thrownText;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

CameraOutput outputOf(std::vector<std::uint64_t> shape, std::string dtype,
                      std::vector<std::uint8_t> data = {}) {
  return CameraOutput{std::move(shape), std::move(dtype), std::move(data)};
}

/// A frame whose structure names `member` with the given "__ndarray__" value, and two outputs.
CameraFrame frameWithPlaceholder(const json& index) {
  CameraFrame frame;
  frame.structure = {{"front", {{"__ndarray__", index}}}};
  frame.outputs = {outputOf({2}, "uint8", {1, 2}), outputOf({1}, "uint16", {3, 4})};
  return frame;
}

TEST(CameraOutputMeasures, ElementCountMultipliesAndWraps) {
  EXPECT_EQ(outputOf({}, "").elementCount(), 1u);
  EXPECT_EQ(outputOf({2, 3, 4}, "").elementCount(), 24u);
  EXPECT_EQ(outputOf({0, 3}, "").elementCount(), 0u);
  EXPECT_EQ(outputOf({std::uint64_t{1} << 32, std::uint64_t{1} << 32}, "").elementCount(), 0u);
  EXPECT_EQ(outputOf({kMax, 3}, "").elementCount(), kMax - 2);  // 3 * (2^64 - 1) mod 2^64
  // The data is not consulted.
  EXPECT_EQ(outputOf({5}, "uint8", {1}).elementCount(), 5u);
}

TEST(CameraOutputMeasures, ItemSizeKnowsExactlyTheTwelveNames) {
  // Each name's size is the width its name states, as the C++ type of that name has it.
  const auto sizeOf = [](const char* name) { return outputOf({}, name).itemSize(); };
  EXPECT_EQ(sizeOf("bool"), sizeof(bool));
  EXPECT_EQ(sizeOf("int8") + sizeOf("uint8"), 2 * sizeof(std::int8_t));
  EXPECT_EQ(sizeOf("int16") + sizeOf("uint16") + sizeOf("float16"), 3 * sizeof(std::int16_t));
  EXPECT_EQ(sizeOf("int32") + sizeOf("uint32"), 2 * sizeof(std::int32_t));
  EXPECT_EQ(sizeOf("float32"), sizeof(float));
  EXPECT_EQ(sizeOf("int64") + sizeOf("uint64"), 2 * sizeof(std::int64_t));
  EXPECT_EQ(sizeOf("float64"), sizeof(double));
  for (const char* unknown :
       {"Float32", "float128", "", "5", "null", " float32", "float32 ", "complex64"}) {
    EXPECT_EQ(outputOf({}, unknown).itemSize(), 0u) << unknown;
  }
  EXPECT_EQ(outputOf({}, std::string("uint8\0", 6)).itemSize(), 0u);
}

TEST(CameraFrameOutput, FindsOnlyTopLevelPlaceholdersByExactName) {
  EXPECT_EQ(CameraFrame{}.output("front"), nullptr);
  EXPECT_EQ(CameraFrame{}.output(""), nullptr);

  CameraFrame frame = frameWithPlaceholder(0);
  frame.structure["alias"] = {{"__ndarray__", 0}};
  frame.structure["other"] = {{"__ndarray__", 1}, {"note", "x"}};
  frame.structure["count"] = 0;
  frame.structure["plain"] = {{"value", 1}};
  frame.structure["list"] = json::array({{{"__ndarray__", 0}}});
  frame.structure["outer"] = {{"inner", {{"__ndarray__", 1}}}};

  EXPECT_EQ(frame.output("front"), &frame.outputs[0]);
  EXPECT_EQ(frame.output("alias"), &frame.outputs[0]);
  EXPECT_EQ(frame.output("other"), &frame.outputs[1]);
  EXPECT_EQ(frame.output("FRONT"), nullptr);
  EXPECT_EQ(frame.output("front "), nullptr);
  EXPECT_EQ(frame.output("count"), nullptr);  // member is not an object
  EXPECT_EQ(frame.output("plain"), nullptr);  // object without a placeholder
  EXPECT_EQ(frame.output("list"), nullptr);   // placeholder inside an array
  EXPECT_EQ(frame.output("inner"), nullptr);  // placeholder one level deeper
  EXPECT_EQ(frame.output("outer"), nullptr);
  EXPECT_EQ(frame.output("missing"), nullptr);

  CameraFrame no_outputs;
  no_outputs.structure = {{"front", {{"__ndarray__", 0}}}};
  EXPECT_EQ(no_outputs.output("front"), nullptr);

  CameraFrame not_an_object;
  not_an_object.structure = json::array({{{"front", {{"__ndarray__", 0}}}}});
  not_an_object.outputs.push_back(outputOf({}, "uint8"));
  EXPECT_EQ(not_an_object.output("front"), nullptr);
}

TEST(CameraFrameOutput, IndexConvertsLikeAnUnsignedNumber) {
  auto pointsAt = [](const json& index) -> long {
    const CameraFrame frame = frameWithPlaceholder(index);
    const CameraOutput* found = frame.output("front");
    return found ? static_cast<long>(found - frame.outputs.data()) : -1;
  };
  EXPECT_EQ(pointsAt(1), 1);
  EXPECT_EQ(pointsAt(1.7), 1);  // truncated toward zero
  EXPECT_EQ(pointsAt(0.99), 0);
  EXPECT_EQ(pointsAt(-0.5), 0);  // truncates to 0
  EXPECT_EQ(pointsAt(2), -1);    // out of range
  EXPECT_EQ(pointsAt(5), -1);
  EXPECT_EQ(pointsAt(-1), -1);  // modulo 2^64: far out of range
  EXPECT_EQ(pointsAt(-2.5), -1);
  EXPECT_EQ(pointsAt(1e300), -1);  // beyond the range: no undefined conversion
  EXPECT_EQ(pointsAt(-1e300), -1);
  EXPECT_EQ(pointsAt(std::numeric_limits<double>::quiet_NaN()), -1);
  EXPECT_EQ(pointsAt(std::numeric_limits<double>::infinity()), -1);
}

TEST(CameraFrameOutput, NonNumericIndexThrowsTypeError302) {
  const std::vector<std::pair<json, std::string>> cases = {{"0", "string"},
                                                           {true, "boolean"},
                                                           {nullptr, "null"},
                                                           {json::array({0}), "array"},
                                                           {json::object(), "object"}};
  for (const auto& [index, kind] : cases) {
    const CameraFrame frame = frameWithPlaceholder(index);
    EXPECT_EQ(thrownText<json::type_error>([&] { frame.output("front"); }),
              "[json.exception.type_error.302] type must be number, but is " + kind);
    EXPECT_EQ(frame.structure, json({{"front", {{"__ndarray__", index}}}}));
  }
}

/// Each entry of frame.namedOutputs() as "name=index>output position", index and position "-"
/// where absent; also checks that every entry's name is its path joined with '/'.
std::vector<std::string> namedOutputsOf(const CameraFrame& frame) {
  std::vector<std::string> listed;
  for (const NamedOutput& named : frame.namedOutputs()) {
    std::string joined;
    for (const std::string& part : named.path) joined += (joined.empty() ? "" : "/") + part;
    EXPECT_EQ(named.name, joined);
    listed.push_back(named.name + "=" + (named.index ? std::to_string(*named.index) : "-") + ">" +
                     (named.output ? std::to_string(named.output - frame.outputs.data()) : "-"));
  }
  return listed;
}

TEST(CameraFrameNamedOutputs,
     ListsPlaceholdersAtAnyDepthInDocumentOrderMalformedOnesWithoutOutput) {
  CameraFrame frame = frameWithPlaceholder(1);
  frame.structure["b"] = {{"__ndarray__", 0}, {"inner", {{"__ndarray__", 1}}}};  // not searched
  frame.structure["a"] =
      json::array({{{"__ndarray__", 0}}, 5, {{"deep", {{{{"__ndarray__", 1}}}}}}});
  frame.structure["c"] = {{"__ndarray__", kMax}};  // out of range
  frame.structure["d"] = {{"negative", {{"__ndarray__", -1}}},
                          {"fraction", {{"__ndarray__", 1.0}}},
                          {"text", {{"__ndarray__", "0"}}}};
  frame.structure["g/h"] = {{"__ndarray__", 0}};
  frame.structure["plain"] = {{"value", 0}};
  EXPECT_EQ(namedOutputsOf(frame),
            (std::vector<std::string>{"a/0=0>0", "a/2/deep/0/0=1>1", "b=0>0",
                                      "c=18446744073709551615>-", "d/fraction=->-",
                                      "d/negative=->-", "d/text=->-", "front=1>1", "g/h=0>0"}));
  EXPECT_EQ(frame.namedOutputs()[8].path, (std::vector<std::string>{"g/h"}));

  CameraFrame root;
  root.structure = {{"__ndarray__", 0}, {"front", {{"__ndarray__", 0}}}};
  root.outputs.push_back(outputOf({}, "uint8"));
  EXPECT_EQ(namedOutputsOf(root), std::vector<std::string>{"=0>0"});
  EXPECT_TRUE(root.namedOutputs()[0].path.empty());
  EXPECT_TRUE(CameraFrame{}.namedOutputs().empty());
  root.structure = json::array({1, "__ndarray__", {{"x", nullptr}}});
  EXPECT_TRUE(root.namedOutputs().empty());

  // Nested far deeper than a recursive walk's stack would allow.
  constexpr std::size_t kDepth = 200000;
  json deep = {{"__ndarray__", 0}};
  for (std::size_t i = 0; i < kDepth; ++i) {
    json outer = json::array();
    outer.push_back(std::move(deep));
    deep = std::move(outer);
  }
  root.structure = std::move(deep);
  const std::vector<NamedOutput> deepest = root.namedOutputs();
  ASSERT_EQ(deepest.size(), 1u);
  EXPECT_EQ(deepest[0].path, std::vector<std::string>(kDepth, "0"));
  EXPECT_EQ(deepest[0].output, &root.outputs[0]);
}

TEST(UnsignedNumber, IntegersWrapAndFloatsTruncateWithoutUndefinedBehaviour) {
  using detail::toUnsigned64;
  EXPECT_EQ(toUnsigned64(json(0)), 0u);
  EXPECT_EQ(toUnsigned64(json(kMax)), kMax);
  EXPECT_EQ(toUnsigned64(json(-1)), kMax);
  EXPECT_EQ(toUnsigned64(json(std::numeric_limits<std::int64_t>::min())), std::uint64_t{1} << 63);
  EXPECT_EQ(toUnsigned64(json(2.9)), 2u);
  EXPECT_EQ(toUnsigned64(json(-0.0)), 0u);
  EXPECT_EQ(toUnsigned64(json(-0.9)), 0u);
  EXPECT_EQ(toUnsigned64(json(-2.5)), kMax - 1);  // -2 modulo 2^64
  EXPECT_EQ(toUnsigned64(json(-9223372036854775808.0)), std::uint64_t{1} << 63);
  EXPECT_EQ(toUnsigned64(json(18446744073709549568.0)), 18446744073709549568u);  // below 2^64
  EXPECT_EQ(toUnsigned64(json(18446744073709551616.0)), kMax);                   // 2^64
  EXPECT_EQ(toUnsigned64(json(-9223372036854777856.0)), kMax);                   // just below -2^63
  EXPECT_EQ(toUnsigned64(json(1e300)), kMax);
  EXPECT_EQ(toUnsigned64(json(-1e20)), kMax);
  EXPECT_EQ(toUnsigned64(json(std::numeric_limits<double>::infinity())), kMax);
  EXPECT_EQ(toUnsigned64(json(-std::numeric_limits<double>::infinity())), kMax);
  EXPECT_EQ(toUnsigned64(json(std::nan(""))), kMax);
  EXPECT_EQ(thrownText<json::type_error>([] { detail::toUnsigned64(json("1")); }),
            "[json.exception.type_error.302] type must be number, but is string");
}

TEST(CameraFrameValues, CopiesAreDeepAndLookupsPointIntoTheCopy) {
  auto source = std::make_unique<CameraFrame>(frameWithPlaceholder(1));
  CameraFrame copy(*source);
  CameraFrame assigned;
  assigned = *source;
  const CameraOutput* in_source = source->output("front");
  const CameraOutput* in_copy = copy.output("front");
  const CameraOutput* in_assigned = assigned.output("front");
  EXPECT_EQ(in_copy, &copy.outputs[1]);
  EXPECT_EQ(in_assigned, &assigned.outputs[1]);
  EXPECT_NE(in_copy, in_source);
  EXPECT_NE(in_copy->data.data(), in_source->data.data());

  source->outputs[1].data[0] = 99;
  source->structure["front"]["__ndarray__"] = 0;
  source.reset();  // the copies survive the source
  EXPECT_EQ(in_copy->data, (std::vector<std::uint8_t>{3, 4}));
  EXPECT_EQ(in_copy->dtype, "uint16");
  EXPECT_EQ(in_assigned->data, (std::vector<std::uint8_t>{3, 4}));
  EXPECT_EQ(copy.output("front"), in_copy);
}

TEST(CameraFrameValues, MovesTakeEverythingAndLeaveTheSourceEmpty) {
  CameraFrame source = frameWithPlaceholder(0);
  const std::uint8_t* bytes = source.outputs[0].data.data();
  CameraFrame moved(std::move(source));
  EXPECT_TRUE(source.structure.is_null());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(source.outputs.empty());
  EXPECT_EQ(moved.outputs[0].data.data(), bytes);  // taken over, not copied
  EXPECT_EQ(moved.output("front"), &moved.outputs[0]);

  CameraFrame assigned;
  assigned = std::move(moved);
  EXPECT_TRUE(moved.structure.is_null());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(moved.outputs.empty());
  EXPECT_EQ(assigned.output("front")->data.data(), bytes);

  CameraOutput output = outputOf({2, 2}, "int8", {1, 2, 3, 4});
  CameraOutput taken(std::move(output));
  EXPECT_TRUE(output.shape.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(output.dtype.empty());
  EXPECT_TRUE(output.data.empty());
  EXPECT_EQ(taken.elementCount() * taken.itemSize(), taken.data.size());
}

}  // namespace
}  // namespace strandel
