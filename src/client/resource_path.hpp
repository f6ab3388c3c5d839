#pragma once

#include <string>
#include <string_view>

namespace strandel::detail {

/// "/" + collection + "/" + id + suffix, the identifier inserted byte for byte (no escaping,
/// trimming or checks), e.g. resourcePath("articulations", "arm", "/set_j").
std::string resourcePath(std::string_view collection, std::string_view id, std::string_view suffix);

}  // namespace strandel::detail
