// Internal: what the Windows files share. <windows.h> comes first in every one
// of them, before the neutral headers, so that a name the Windows headers
// turn into a macro cannot hide in a neutral interface: the build breaks.
#pragma once

#include <windows.h>

#include "platform/ZTypes.h"

#include <string>

namespace Quillet::Platform {

/// The HANDLE of a live handle; nullptr for the others, which no call takes.
inline HANDLE ToHandle(NativeHandle handle)
{
    return handle.IsValid() ? reinterpret_cast<HANDLE>(handle.GetValue()) : nullptr;
}

/// The handle of an OS HANDLE: both nullptr and INVALID_HANDLE_VALUE, which
/// Windows calls return for "none" depending on the call, are kInvalidHandle.
inline NativeHandle HandleOf(HANDLE handle)
{
    return handle == nullptr || handle == INVALID_HANDLE_VALUE
               ? kInvalidHandle
               : NativeHandle::FromValue(reinterpret_cast<NativeHandle::Value>(handle));
}

}  // namespace Quillet::Platform
