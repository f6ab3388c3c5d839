#pragma once

// How bodies and messages are shown.

#include <string>

namespace strandel_cli {

/// `body` pretty-printed with a two-space indent and a final newline when it is one JSON text;
/// otherwise `body` unchanged. Invalid UTF-8 inside JSON strings is shown as U+FFFD.
std::string formatBody(const std::string& body);

}  // namespace strandel_cli
