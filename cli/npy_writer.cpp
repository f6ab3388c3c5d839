#include "npy_writer.hpp"

#include <fstream>
#include <map>
#include <stdexcept>

namespace strandel_cli {

std::string npyDescr(const std::string& dtype) {
  static const std::map<std::string, std::string> kDescr = {
      {"bool", "|b1"},    {"int8", "|i1"},    {"uint8", "|u1"},  {"int16", "<i2"},
      {"uint16", "<u2"},  {"float16", "<f2"}, {"int32", "<i4"},  {"uint32", "<u4"},
      {"float32", "<f4"}, {"int64", "<i8"},   {"uint64", "<u8"}, {"float64", "<f8"},
  };
  const auto found = kDescr.find(dtype);
  return found == kDescr.end() ? std::string() : found->second;
}

void writeNpy(const std::string& path, const strandel::CameraOutput& output) {
  std::string descr = npyDescr(output.dtype);
  std::string shape;
  const bool fits =
      !descr.empty() && output.itemSize() * output.elementCount() == output.data.size();
  if (fits) {
    for (const std::uint64_t extent : output.shape) shape += std::to_string(extent) + ", ";
    if (output.shape.size() > 1) shape.resize(shape.size() - 2);  // (n,) keeps its comma
  } else {
    descr = "|u1";
    shape = std::to_string(output.data.size()) + ",";
  }
  std::string header =
      "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (" + shape + "), }";
  // magic (6) + version (2) + header length (2) + header, a multiple of 64, ending in '\n'.
  const std::size_t unpadded = 10 + header.size() + 1;
  header.append((64 - unpadded % 64) % 64, ' ');
  header.push_back('\n');

  std::string prefix("\x93NUMPY\x01\x00", 8);
  prefix.push_back(static_cast<char>(header.size() & 0xFFu));
  prefix.push_back(static_cast<char>((header.size() >> 8) & 0xFFu));
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(prefix.data(), static_cast<std::streamsize>(prefix.size()));
  file.write(header.data(), static_cast<std::streamsize>(header.size()));
  file.write(reinterpret_cast<const char*>(output.data.data()),
             static_cast<std::streamsize>(output.data.size()));
  file.close();
  if (!file) throw std::runtime_error("cannot write '" + path + "'");
}

}  // namespace strandel_cli
