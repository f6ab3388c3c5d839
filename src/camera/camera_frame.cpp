#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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

/// `path` joined with '/'.
std::string joinedName(const std::vector<std::string>& path) {
  std::string name;
  for (const std::string& part : path) {
    if (&part != &path.front()) name += '/';
    name += part;
  }
  return name;
}

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

std::vector<NamedOutput> CameraFrame::namedOutputs() const {
  // A node still to visit: its place in the structure, how many path parts lead to it, and the
  // last of them (unused for the root). Popped in document order, so `path` always holds the
  // parts of the node's parent when it is reached.
  struct Pending {
    const json* node;
    std::size_t depth;
    std::string part;
  };
  std::vector<NamedOutput> found;
  std::vector<std::string> path;
  std::vector<Pending> pending{{&structure, 0, {}}};
  while (!pending.empty()) {
    Pending next = std::move(pending.back());
    pending.pop_back();
    path.resize(next.depth == 0 ? 0 : next.depth - 1);
    if (next.depth != 0) path.push_back(std::move(next.part));
    const json& node = *next.node;
    if (node.is_object()) {
      const auto placeholder = node.find(kPlaceholderKey);
      if (placeholder != node.end()) {
        NamedOutput named{path, joinedName(path), std::nullopt, nullptr};
        // A parsed non-negative integer is unsigned; one built in code may be signed.
        if (placeholder->is_number_unsigned() ||
            (placeholder->is_number_integer() && placeholder->get<std::int64_t>() >= 0)) {
          named.index = placeholder->get<std::uint64_t>();
          if (*named.index < outputs.size())
            named.output = &outputs[static_cast<std::size_t>(*named.index)];
        }
        found.push_back(std::move(named));
        continue;
      }
      // Pushed last to first, so that the first member is visited first.
      for (auto member = node.crbegin(); member != node.crend(); ++member)
        pending.push_back({&member.value(), next.depth + 1, member.key()});
    } else if (node.is_array()) {
      for (std::size_t i = node.size(); i-- > 0;)
        pending.push_back({&node[i], next.depth + 1, std::to_string(i)});
    }
  }
  return found;
}

}  // namespace strandel
