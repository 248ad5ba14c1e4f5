// Pipes on Windows: stubs that fail with ERROR_CALL_NOT_IMPLEMENTED. The port
// will use overlapped named pipes, whose reads and writes complete on events.
#include "platform/win32/Internal.h"

#include "platform/Pipe.h"

namespace Quillet::Platform {

bool CreatePipe(PipePair&)
{
    SetNotSupported();
    return false;
}

bool SetNonBlocking(NativeHandle, bool)
{
    SetNotSupported();
    return false;
}

bool SetPipeCapacity(NativeHandle, std::size_t)
{
    SetNotSupported();
    return false;
}

IoStatus ReadSome(NativeHandle, void*, std::size_t, std::size_t& count)
{
    count = 0;
    SetNotSupported();
    return IoStatus::Error;
}

IoStatus WriteSome(NativeHandle, const void*, std::size_t, std::size_t& count)
{
    count = 0;
    SetNotSupported();
    return IoStatus::Error;
}

int PipeCapacity(NativeHandle)
{
    SetNotSupported();
    return -1;
}

}  // namespace Quillet::Platform
