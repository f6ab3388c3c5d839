#include "npy_writer.hpp"

#include <limits>
#include <map>
#include <stdexcept>

#include "new_file.hpp"

namespace strandel_cli {
namespace {

/// Largest header length a version 1.0 file can announce in its 2-byte field.
constexpr std::size_t kMaxVersion1Header = 0xFFFF;

/// `header` padded with spaces and ended by '\n' so that `prefix_size` + its size is a multiple of
/// 64.
std::string padded(std::string header, std::size_t prefix_size) {
  const std::size_t unpadded = prefix_size + header.size() + 1;
  header.append((64 - unpadded % 64) % 64, ' ');
  header.push_back('\n');
  return header;
}

void appendLittleEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

}  // namespace

std::string npyDescr(const std::string& dtype) {
  static const std::map<std::string, std::string> kDescr = {
      {"bool", "|b1"},    {"int8", "|i1"},    {"uint8", "|u1"},  {"int16", "<i2"},
      {"uint16", "<u2"},  {"float16", "<f2"}, {"int32", "<i4"},  {"uint32", "<u4"},
      {"float32", "<f4"}, {"int64", "<i8"},   {"uint64", "<u8"}, {"float64", "<f8"},
  };
  const auto found = kDescr.find(dtype);
  return found == kDescr.end() ? std::string() : found->second;
}

std::optional<std::uint64_t> checkedElementCount(const std::vector<std::uint64_t>& shape,
                                                 std::uint64_t item_size) {
  constexpr std::uint64_t kMax =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t count = 1;
  bool empty = false;  // a zero extent empties the array, whatever the others say
  for (const std::uint64_t extent : shape) {
    if (extent == 0) {
      empty = true;
    } else if (extent > kMax || count > kMax / extent) {
      return std::nullopt;
    } else {
      count *= extent;
    }
  }
  const std::uint64_t item = item_size == 0 ? 1 : item_size;
  if (count > kMax / item) return std::nullopt;
  return empty ? 0 : count;
}

void writeNpy(const Directory& dir, const std::string& name, const strandel::CameraOutput& output) {
  const std::optional<std::uint64_t> elements =
      checkedElementCount(output.shape, output.itemSize());
  if (!elements) throw std::invalid_argument("the shape holds more elements than fit in memory");
  std::string descr = npyDescr(output.dtype);
  std::string shape;
  if (!descr.empty() && output.itemSize() * *elements == output.data.size()) {
    for (const std::uint64_t extent : output.shape) shape += std::to_string(extent) + ", ";
    if (output.shape.size() > 1) shape.resize(shape.size() - 2);  // (n,) keeps its comma
  } else {
    descr = "|u1";
    shape = std::to_string(output.data.size()) + ",";
  }
  const std::string dict =
      "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (" + shape + "), }";

  // magic (6) + version (2) + header length (2 in version 1.0, 4 in 2.0) + header.
  std::string prefix("\x93NUMPY", 6);
  std::string header = padded(dict, 10);
  if (header.size() <= kMaxVersion1Header) {
    prefix += std::string("\x01\x00", 2);
    appendLittleEndian(prefix, header.size(), 2);
  } else {
    header = padded(dict, 12);
    if (header.size() > 0xFFFFFFFFu) throw std::invalid_argument("the shape is too long for .npy");
    prefix += std::string("\x02\x00", 2);
    appendLittleEndian(prefix, header.size(), 4);
  }
  NewFile file(dir, name);
  file.write(prefix);
  file.write(header);
  file.write(output.data.data(), output.data.size());
  file.close();
}

}  // namespace strandel_cli
