#pragma once

/// The version of the library an application runs against.

#include <string_view>

#include <strandel/export.hpp>

namespace strandel {

/// The version of the shared library loaded at run time, "MAJOR.MINOR.PATCH" (e.g. "0.2.0"); it can
/// differ from the headers an application was compiled with when a newer compatible library (the
/// same SONAME) is installed. The text lives as long as the library. Never throws.
///
/// Thread-safety: a pure function; any number of threads may call it at once.
STRANDEL_API std::string_view version() noexcept;

}  // namespace strandel
