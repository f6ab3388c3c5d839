#include "decode_camera_frame.hpp"

#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <strandel/errors.hpp>

#include "client/parse_json_response.hpp"
#include "json_structure.hpp"
#include "unsigned_number.hpp"

namespace strandel::detail {
namespace {

constexpr std::string_view kMagic = "QXB1";
constexpr std::size_t kHeaderSize = 8;

std::uint32_t readLittleEndian32(const char* bytes) noexcept {
  const auto byte = [bytes](int i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
  };
  return byte(0) | (byte(1) << 8) | (byte(2) << 16) | (byte(3) << 24);
}

// The nesting limit holds before the parser builds anything.
void requireNestingWithinLimit(std::string_view text) {
  if (json_structure::nestedDeeperThan(text, kMaxManifestDepth)) {
    throw FrameFormatError("camera frame manifest is nested deeper than " +
                           std::to_string(kMaxManifestDepth) + " levels");
  }
}

json parseManifest(std::string_view text) {
  requireNestingWithinLimit(text);
  return json::parse(text.data(), text.data() + text.size());
}

void readShape(const json& shape, std::vector<std::uint64_t>& extents) {
  if (!shape.is_array()) {
    throw json::type_error::create(
        302, std::string("type must be array, but is ") + shape.type_name(), &shape);
  }
  extents.clear();
  extents.reserve(shape.size());  // the entries are already present in the parsed manifest
  for (const json& extent : shape) extents.push_back(toUnsigned64(extent));
}

void readDtype(const json& dtype, std::string& name) {
  if (dtype.is_string()) {
    name.assign(dtype.get_ref<const std::string&>());
  } else {
    name.assign(dtype.dump());
  }
}

std::uint64_t copyBudgetFor(std::uint64_t body_length) noexcept {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return body_length > kMax / kMaxCopiedBytesPerBodyByte ? kMax
                                                         : body_length * kMaxCopiedBytesPerBodyByte;
}

// The decoding proper; on a throw `into` may hold a part of the new frame.
void decodeInto(long status, std::string_view body, CameraFrame& into) {
  requireSuccessStatus(status, body);

  const std::uint64_t body_length = body.size();
  if (body_length < kHeaderSize || body.substr(0, kMagic.size()) != kMagic) {
    throw FrameFormatError(
        "camera response is not a binary frame: expected it to start with \"QXB1\"");
  }
  const std::uint64_t manifest_length = readLittleEndian32(body.data() + kMagic.size());
  const std::uint64_t data_start = kHeaderSize + manifest_length;
  if (data_start > body_length) {
    throw FrameFormatError("camera frame is truncated: its manifest claims " +
                           std::to_string(manifest_length) + " bytes but the body holds " +
                           std::to_string(body_length));
  }

  json manifest = parseManifest(body.substr(kHeaderSize, manifest_length));

  // Taken by move: the manifest is discarded afterwards, and no deep copy is made.
  into.structure = std::move(manifest.at("structure"));
  json& arrays = manifest.at("arrays");

  const std::uint64_t region_length = body_length - data_start;
  const auto* region = reinterpret_cast<const std::uint8_t*>(body.data()) + data_start;
  std::uint64_t copy_budget = copyBudgetFor(body_length);
  std::size_t count = 0;
  for (const json& descriptor : arrays) {
    if (count == into.outputs.size()) into.outputs.emplace_back();
    CameraOutput& output = into.outputs[count++];
    readShape(descriptor.at("shape"), output.shape);
    readDtype(descriptor.at("dtype"), output.dtype);
    const std::uint64_t offset = toUnsigned64(descriptor.at("offset"));
    const std::uint64_t nbytes = toUnsigned64(descriptor.at("nbytes"));
    // Subtracted form: no sum can wrap around.
    if (offset > region_length || nbytes > region_length - offset) {
      throw FrameFormatError(
          "camera frame is truncated: an output claims bytes past the end of the body");
    }
    if (nbytes > copy_budget) {
      throw FrameFormatError("camera frame is too large: its outputs claim more than " +
                             std::to_string(kMaxCopiedBytesPerBodyByte) +
                             " times the length of the body");
    }
    copy_budget -= nbytes;
    const std::uint8_t* first = region + offset;
    output.data.assign(first, first + nbytes);
  }
  into.outputs.resize(count);
}

}  // namespace

CameraFrame decodeCameraFrame(const HttpResponse& response) {
  CameraFrame frame;
  decodeInto(response.status, response.body, frame);
  return frame;
}

void decodeCameraFrame(long status, std::string_view body, CameraFrame& into) {
  try {
    decodeInto(status, body, into);
  } catch (...) {
    into.structure = nullptr;
    into.outputs.clear();
    throw;
  }
}

}  // namespace strandel::detail
