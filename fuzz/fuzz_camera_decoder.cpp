// libFuzzer target: arbitrary bytes as the body of a 200 answer to a capture. Every refusal must be
// an exception; a crash, a leak, a sanitizer report or a frame whose outputs differ from the body
// bytes they claim is a finding.
//
// The custom mutator below keeps most mutated inputs framed: it often mutates the manifest or the
// data region alone and writes the manifest length anew, so that mutations reach the manifest's
// content instead of mostly breaking its length field. The target itself still takes any bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <random>
#include <string>

#include <strandel/camera_frame.hpp>
#include <strandel/http.hpp>

#include "camera/decode_camera_frame.hpp"
#include "camera_frame_writer.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

using strandel::CameraFrame;
using strandel::CameraOutput;
using strandel::json;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "camera decoder fuzz check failed: %s\n", what);
    std::abort();
  }
}

// A claimed "offset" or "nbytes" of a frame that decoded, read independently of the decoder: such
// a value lies in the body, so it is a whole number from 0 up or a fraction above -1.
std::uint64_t claimed(const json& value, std::uint64_t limit) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    const std::int64_t number = value.get<std::int64_t>();
    require(number >= 0, "a negative integer passed the bounds test");
    return static_cast<std::uint64_t>(number);
  }
  require(value.is_number_float(), "a claimed position is not a number");
  const double number = value.get<double>();
  require(number > -1.0 && number < static_cast<double>(limit) + 1.0,
          "a fraction out of the body passed the bounds test");
  return static_cast<std::uint64_t>(number);
}

// Each output holds exactly the body bytes its descriptor claims, in the manifest's order.
void checkOutputsAgainstBody(const std::string& body, const CameraFrame& frame) {
  std::uint32_t manifest_length = 0;
  for (int i = 3; i >= 0; --i) {
    manifest_length = (manifest_length << 8) | static_cast<unsigned char>(body[4 + i]);
  }
  const std::size_t data_start = 8 + static_cast<std::size_t>(manifest_length);
  const std::uint64_t region_length = body.size() - data_start;
  json manifest = json::parse(body.data() + 8, body.data() + data_start);
  require(frame.structure == manifest.at("structure"), "structure differs from the manifest");

  std::size_t index = 0;
  for (const json& descriptor : manifest.at("arrays")) {
    require(index < frame.outputs.size(), "fewer outputs than descriptors");
    const CameraOutput& output = frame.outputs[index++];
    const std::uint64_t offset = claimed(descriptor.at("offset"), region_length);
    const std::uint64_t nbytes = claimed(descriptor.at("nbytes"), region_length);
    require(offset <= region_length && nbytes <= region_length - offset, "bytes outside the body");
    require(output.data.size() == nbytes, "output length differs from nbytes");
    require(nbytes == 0 ||
                std::memcmp(output.data.data(), body.data() + data_start + offset, nbytes) == 0,
            "output bytes differ from the body");
    require(output.shape.size() == descriptor.at("shape").size(), "shape length differs");
  }
  require(index == frame.outputs.size(), "more outputs than descriptors");
}

// What an application does with a frame: copy it, print it, look outputs up and measure them.
void useFrame(const CameraFrame& frame) {
  const CameraFrame copy = frame;
  require(copy.structure == frame.structure && copy.outputs.size() == frame.outputs.size(),
          "a copy differs from its source");
  (void)copy.structure.dump();
  if (copy.structure.is_object()) {
    for (const auto& member : copy.structure.items()) {
      try {
        const CameraOutput* found = copy.output(member.key());
        require(found == nullptr || (found >= copy.outputs.data() &&
                                     found < copy.outputs.data() + copy.outputs.size()),
                "output() points outside the frame's outputs");
      } catch (const json::type_error&) {
        // A non-numeric "__ndarray__" value.
      }
    }
  }
  for (const CameraOutput& output : copy.outputs) {
    (void)output.elementCount();
    (void)output.itemSize();
  }
}

// The manifest length of a framed input, or nothing when the input is not framed.
bool framedManifestLength(const std::uint8_t* data, std::size_t size, std::size_t& length) {
  if (size < 8 || std::memcmp(data, "QXB1", 4) != 0) return false;
  length = static_cast<std::size_t>(data[4]) | (static_cast<std::size_t>(data[5]) << 8) |
           (static_cast<std::size_t>(data[6]) << 16) | (static_cast<std::size_t>(data[7]) << 24);
  return 8 + length <= size;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
  std::minstd_rand random(seed);
  std::size_t manifest_length = 0;
  if (!framedManifestLength(data, size, manifest_length) || random() % 4 == 0) {
    return LLVMFuzzerMutate(data, size, max_size);  // any bytes, the header included
  }
  const char* bytes = reinterpret_cast<const char*>(data);
  std::string manifest(bytes + 8, manifest_length);
  std::string region(bytes + 8 + manifest_length, size - 8 - manifest_length);
  const bool in_region = random() % 4 == 0;
  std::string& part = in_region ? region : manifest;
  const std::size_t room = max_size - 8 - (in_region ? manifest.size() : region.size());
  if (room == 0) return LLVMFuzzerMutate(data, size, max_size);
  const std::size_t part_size = part.size();
  part.resize(room);
  part.resize(LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(part.data()), part_size, room));
  const std::string frame = strandel::detail::writeCameraFrame(manifest, region);
  std::memcpy(data, frame.data(), frame.size());  // 8 + manifest + region <= max_size
  return frame.size();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  strandel::HttpResponse response;
  response.status = 200;
  response.body.assign(reinterpret_cast<const char*>(data), size);
  CameraFrame frame;
  try {
    frame = strandel::detail::decodeCameraFrame(response);
  } catch (const std::bad_alloc&) {
    throw;  // running out of memory is a finding, not a refusal
  } catch (const std::exception&) {
    return 0;
  }
  checkOutputsAgainstBody(response.body, frame);
  useFrame(frame);
  return 0;
}
