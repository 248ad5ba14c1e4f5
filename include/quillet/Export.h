// Export macro for the public interface of libquillet.
//
// The library is built with hidden visibility; only declarations marked
// QUILLET_API are visible to hosts.
#pragma once

#if defined(_WIN32)
#  if defined(QUILLET_BUILDING_LIBRARY)
#    define QUILLET_API __declspec(dllexport)
#  else
#    define QUILLET_API __declspec(dllimport)
#  endif
#else
#  define QUILLET_API __attribute__((visibility("default")))
#endif
