#pragma once

#include <string>
#include <string_view>

namespace strandel::detail {

/// "/" + collection + "/" + id + suffix, the identifier inserted byte for byte (no escaping,
/// trimming or checks), e.g. resourcePath("articulations", "arm", "/set_j").
std::string resourcePath(std::string_view collection, std::string_view id, std::string_view suffix);

/// The check every request and stream path passes before anything is sent: throws
/// std::invalid_argument "path contains a NUL byte", else "path contains '#'", for the two bytes
/// that cannot travel in a request target as written (libcurl would cut the URL at the NUL and drop
/// everything from '#' on, reaching another endpoint). Every other byte is left to libcurl.
void requireVerbatimPath(std::string_view path);

}  // namespace strandel::detail
