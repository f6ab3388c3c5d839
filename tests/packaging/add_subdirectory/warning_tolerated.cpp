// Compiled with -Wall -Wextra and expected to warn about the unused variable: a consumer's warnings
// stay warnings whatever the library does with its own.

#include <strandel/isaacsim_client.hpp>

namespace {

[[maybe_unused]] int withUnusedVariable() {
  int unused_on_purpose = 0;
  return 0;
}

}  // namespace
