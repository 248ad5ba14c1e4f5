// UniqueHandle: moving a handle between owners, the same on every system; its
// closing is the system's.
#include "platform/FileHandle.h"

namespace Quillet::Platform {

UniqueHandle& UniqueHandle::operator=(UniqueHandle&& other) noexcept
{
    if (this != &other)
        Reset(other.Take());
    return *this;
}

NativeHandle UniqueHandle::Take()
{
    const NativeHandle taken = handle;
    handle = kInvalidHandle;
    return taken;
}

}  // namespace Quillet::Platform
