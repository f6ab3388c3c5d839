#pragma once

/// STRANDEL_API marks the classes and functions the shared library exports. Everything else is
/// built with hidden visibility.
#if defined(STRANDEL_ISAACSIM_CLIENT_STATIC)
#  define STRANDEL_API
#elif defined(_WIN32)
#  if defined(STRANDEL_ISAACSIM_CLIENT_BUILDING)
#    define STRANDEL_API __declspec(dllexport)
#  else
#    define STRANDEL_API __declspec(dllimport)
#  endif
#else
#  define STRANDEL_API __attribute__((visibility("default")))
#endif

/// STRANDEL_LOCAL keeps a member of an exported class inside the library (for members whose
/// signatures name internal types).
#if defined(STRANDEL_ISAACSIM_CLIENT_STATIC) || defined(_WIN32)
#  define STRANDEL_LOCAL
#else
#  define STRANDEL_LOCAL __attribute__((visibility("hidden")))
#endif
