// libFuzzer target: arbitrary bytes as the body of a 200 answer to a capture. Every refusal must be
// an exception; a crash, a leak, a sanitizer report or a frame whose outputs differ from the body
// bytes they claim is a finding.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include <strandel/camera_frame.hpp>
#include <strandel/http.hpp>

#include "camera/decode_camera_frame.hpp"

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
        require(found == nullptr ||
                    (found >= copy.outputs.data() && found < copy.outputs.data() + copy.outputs.size()),
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

}  // namespace

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
