# Finds Debian's stb (libstb-dev): the headers and the prebuilt libstb. Defines the imported target
# Stb::stb and Stb_FOUND.
find_path(Stb_INCLUDE_DIR NAMES stb/stb_image.h stb/stb_image_write.h)
find_library(Stb_LIBRARY NAMES stb)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Stb REQUIRED_VARS Stb_LIBRARY Stb_INCLUDE_DIR)
mark_as_advanced(Stb_INCLUDE_DIR Stb_LIBRARY)
if(Stb_FOUND AND NOT TARGET Stb::stb)
  add_library(Stb::stb UNKNOWN IMPORTED)
  set_target_properties(Stb::stb PROPERTIES
    IMPORTED_LOCATION "${Stb_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Stb_INCLUDE_DIR}")
endif()
