// Export macro for the public interface of libquillet.
//
// The library is built with hidden visibility; only declarations marked
// QUILLET_API are visible to hosts. A program linked with the static archive
// of the same code (the tests) defines QUILLET_STATIC: on Windows it imports
// nothing from the DLL.
#pragma once

#if defined(_WIN32)
#  if defined(QUILLET_STATIC)
#    define QUILLET_API
#  elif defined(QUILLET_BUILDING_LIBRARY)
#    define QUILLET_API __declspec(dllexport)
#  else
#    define QUILLET_API __declspec(dllimport)
#  endif
#else
#  define QUILLET_API __attribute__((visibility("default")))
#endif
