#pragma once

// The files of the page `strandel view` serves (cli/view/), built into the program by
// cli/view/embed_assets.cmake so that it needs nothing installed beside it.

#include <cstddef>
#include <string_view>

namespace strandel_cli {

/// One embedded file: the path it is served at, its Content-Type and its bytes.
struct ViewAsset {
  std::string_view path;
  std::string_view content_type;
  std::string_view bytes;
};

/// The embedded file served at `path` ("/" is the page), or nullptr for any other path.
const ViewAsset* findViewAsset(std::string_view path);

}  // namespace strandel_cli
