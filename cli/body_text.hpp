#pragma once

// How bodies and messages are shown. Every function here takes time and memory linear in its
// input and recurses no deeper than kMaxShownDepth, whatever a bridge sends.

#include <cstddef>
#include <optional>
#include <string>

namespace strandel_cli {

/// Deepest nesting of arrays and objects that is re-encoded by the JSON library; deeper JSON texts
/// are shown as received.
inline constexpr std::size_t kMaxShownDepth = 64;

/// `body` pretty-printed with a two-space indent and a final newline when it is one JSON text
/// nested at most kMaxShownDepth deep whose indentation would add at most 16 times its length
/// (plus 1 MiB); otherwise `body` unchanged. Invalid UTF-8 inside JSON strings is shown as
/// U+FFFD.
std::string formatBody(const std::string& body);

/// `message` as one line of compact JSON when it is one JSON text: re-encoded by the JSON library
/// (invalid UTF-8 shown as U+FFFD) when nested at most kMaxShownDepth deep, otherwise the text as
/// received without the whitespace between its tokens. An empty optional when it is not JSON.
std::optional<std::string> compactLine(const std::string& message);

}  // namespace strandel_cli
