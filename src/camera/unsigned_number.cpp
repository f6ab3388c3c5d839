#include "unsigned_number.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace strandel::detail {
namespace {

// 2^63 and 2^64 are exact doubles; every double in [-2^63, 2^64) truncates to a representable
// integer of one of the two 64-bit types.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

std::uint64_t truncateToUnsigned64(double value) noexcept {
  const double whole = std::trunc(value);
  if (whole >= 0.0 && whole < kTwoPow64) return static_cast<std::uint64_t>(whole);
  if (whole < 0.0 && whole >= -kTwoPow63) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(whole));
  }
  return std::numeric_limits<std::uint64_t>::max();  // beyond the range, infinite or NaN
}

}  // namespace

std::uint64_t toUnsigned64(const json& value) {
  switch (value.type()) {
    case json::value_t::number_unsigned:
      return value.get<std::uint64_t>();
    case json::value_t::number_integer:
      return static_cast<std::uint64_t>(value.get<std::int64_t>());
    case json::value_t::number_float:
      return truncateToUnsigned64(value.get<double>());
    default:
      throw json::type_error::create(
          302, std::string("type must be number, but is ") + value.type_name(), &value);
  }
}

}  // namespace strandel::detail
