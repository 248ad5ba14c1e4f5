/* The version of libquillet these headers belong to (C and C++). */
#pragma once

/* A program built against one minor version runs with every later minor and
   patch version of the same major version; see README.md. */
#define QUILLET_VERSION_MAJOR 0
#define QUILLET_VERSION_MINOR 1
#define QUILLET_VERSION_PATCH 0
#define QUILLET_VERSION_STRING "0.1.0"
