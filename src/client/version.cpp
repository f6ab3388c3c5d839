#include <strandel/version.hpp>

#ifndef STRANDEL_ISAACSIM_CLIENT_VERSION
#  error "STRANDEL_ISAACSIM_CLIENT_VERSION must be defined by the build"
#endif

namespace strandel {

std::string_view version() noexcept { return STRANDEL_ISAACSIM_CLIENT_VERSION; }

}  // namespace strandel
