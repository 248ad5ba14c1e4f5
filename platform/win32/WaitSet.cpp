// Waiting on Windows: a stub that fails with ERROR_CALL_NOT_IMPLEMENTED. The
// port will wait with WaitForMultipleObjects, on at most 64 handles at once.
#include "platform/win32/Internal.h"

#include "platform/WaitSet.h"

namespace Quillet::Platform {

int WaitAny(const NativeHandle*, std::size_t, int)
{
    SetNotSupported();
    return kWaitFailed;
}

int WaitAny(const WaitItem*, std::size_t, int)
{
    SetNotSupported();
    return kWaitFailed;
}

}  // namespace Quillet::Platform
