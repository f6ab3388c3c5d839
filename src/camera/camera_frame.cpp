#include <string>
#include <unordered_map>

#include <strandel/camera_frame.hpp>

#include "unsigned_number.hpp"

namespace strandel {
namespace {

// Built once, by whichever thread asks first (thread-safe initialisation of a function-local
// static), and only read afterwards.
const std::unordered_map<std::string, std::uint64_t>& dtypeSizes() {
  static const std::unordered_map<std::string, std::uint64_t> sizes{
      {"bool", 1},  {"int8", 1},   {"uint8", 1},   {"int16", 2}, {"uint16", 2}, {"float16", 2},
      {"int32", 4}, {"uint32", 4}, {"float32", 4}, {"int64", 8}, {"uint64", 8}, {"float64", 8},
  };
  return sizes;
}

constexpr char kPlaceholderKey[] = "__ndarray__";

}  // namespace

std::uint64_t CameraOutput::elementCount() const noexcept {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) count *= extent;  // wraps modulo 2^64 by design
  return count;
}

std::uint64_t CameraOutput::itemSize() const noexcept {
  const auto& sizes = dtypeSizes();
  const auto found = sizes.find(dtype);
  return found == sizes.end() ? 0 : found->second;
}

const CameraOutput* CameraFrame::output(std::string_view name) const {
  if (!structure.is_object()) return nullptr;
  const auto member = structure.find(std::string(name));
  if (member == structure.end() || !member->is_object()) return nullptr;
  const auto placeholder = member->find(kPlaceholderKey);
  if (placeholder == member->end()) return nullptr;
  const std::uint64_t index = detail::toUnsigned64(*placeholder);
  return index < outputs.size() ? &outputs[static_cast<std::size_t>(index)] : nullptr;
}

}  // namespace strandel
