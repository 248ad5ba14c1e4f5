// Status codes and the opaque OS handle value shared by the platform interfaces.
#pragma once

#include <cstdint>

namespace Quillet {

/// Status of a base-library call: 0 is success, anything else a failure.
enum tagZBASESTAT : std::int32_t {
    ZBASE_OK = 0,
    ZBASE_FAILED = 1,
    ZBASE_TIMEOUT = 2,
    ZBASE_STOPPED = 3,
    ZBASE_DISCONNECTED = 11,  ///< the IPC client has gone
};

namespace Platform {

/// An OS handle as an opaque value: a file descriptor on POSIX, a HANDLE on
/// Win32. Only platform/ code interprets it.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kInvalidHandle = -1;
/// A job source that names something which could not be opened. Its own
/// value, apart from kInvalidHandle ("no source at all") and from every real
/// handle (0 is standard input on POSIX): a run on it fails with a reason
/// instead of refusing to start. Never passed to the OS.
inline constexpr NativeHandle kNullHandle = -2;

}  // namespace Platform
}  // namespace Quillet
