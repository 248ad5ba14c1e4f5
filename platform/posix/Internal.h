// Internal: what the POSIX files share with each other and with the
// system-specific part (platform/linux/), which fills in what POSIX leaves to
// each system.
#pragma once

#include "platform/ZTypes.h"
#include "platform/Random.h"

#include <cstddef>

namespace Quillet::Platform {

/// The descriptor of a handle; -1 (which every call refuses) for one that is
/// not live.
inline int Fd(NativeHandle handle)
{
    return handle.IsValid() ? static_cast<int>(handle.GetValue()) : -1;
}

/// The handle of a descriptor; kInvalidHandle for a negative one, the value
/// a failed call returns.
inline NativeHandle HandleOf(long fd)
{
    return fd < 0 ? kInvalidHandle : NativeHandle::FromValue(static_cast<NativeHandle::Value>(fd));
}

/// Keeps an owned descriptor off 0 to 2: when the host runs with a standard
/// stream closed, a descriptor landing there would pass for that stream.
/// Returns fd, or its copy above 2 (fd closed); -1 when that fails.
int MoveAboveStdio(int fd);


}  // namespace Quillet::Platform
