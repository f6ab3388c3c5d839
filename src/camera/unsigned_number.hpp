#pragma once

#include <cstdint>

#include <strandel/json.hpp>

namespace strandel::detail {

/// The camera frame's conversion of a JSON number to an unsigned 64-bit integer, for "shape"
/// entries, "offset", "nbytes" and "__ndarray__" indexes:
/// - an integer is taken modulo 2^64 (a negative one becomes very large);
/// - a floating-point number is truncated toward zero; a truncated value within the signed or
///   unsigned 64-bit range is then taken modulo 2^64 like an integer, and anything beyond it
///   (1e300, -1e20, the infinities, NaN) becomes UINT64_MAX. No conversion has undefined
///   behaviour.
/// Throws nlohmann::json::type_error 302 "type must be number, but is <kind>" for any value that
/// is not a number, exactly as the JSON library's own conversion does.
std::uint64_t toUnsigned64(const json& value);

}  // namespace strandel::detail
