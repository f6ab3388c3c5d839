#pragma once

#include <string>
#include <string_view>

namespace strandel::detail {

/// "/" + collection + "/" + id + suffix, the identifier inserted byte for byte (no escaping or
/// trimming), e.g. resourcePath("articulations", "arm", "/set_j"). Checks the identifier first with
/// requireVerbatimIdentifier, so its errors leave before any path exists.
std::string resourcePath(std::string_view collection, std::string_view id, std::string_view suffix);

/// The check every request and stream path passes before anything is sent. Throws
/// std::invalid_argument for the bytes that cannot travel in a request target as written, the
/// first rule that matches anywhere in the path winning, in this order: "path contains a NUL byte"
/// (libcurl would cut the URL there), "path contains '#'" (libcurl would drop everything from it
/// on, reaching another endpoint), "path contains a space", "path contains a control character"
/// (0x01-0x1F, 0x7F; libcurl refuses the URL, or the line break would end the request line). '?'
/// passes: a query string belongs to a verb's path. Every other byte is left to libcurl.
void requireVerbatimPath(std::string_view path);

/// The check of a resource identifier (one path segment or several joined by '/'): the rules of
/// requireVerbatimPath, with "path contains '?'" after the '#' rule, since a '?' would turn the
/// rest of the identifier and the endpoint's suffix into a query and address another resource.
void requireVerbatimIdentifier(std::string_view id);

}  // namespace strandel::detail
