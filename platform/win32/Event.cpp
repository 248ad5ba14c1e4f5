// Events on Windows: CreateEventW, whose manual and automatic reset are ours;
// the event handle itself is the wait handle.
#include "platform/win32/Internal.h"

#include "platform/Event.h"

#include <stdexcept>

namespace Quillet::Platform {

Event::Event(bool manualReset) : manualReset(manualReset)
{
    // Unnamed and not inheritable: nobody else can set or wait for it.
    handle.Reset(HandleOf(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)));
    if (!handle.IsValid())
        throw std::runtime_error("Unable to create event.");
}

void Event::Set()
{
    ::SetEvent(ToHandle(handle.Get()));
}

void Event::Reset()
{
    ::ResetEvent(ToHandle(handle.Get()));
}

bool Event::Consume()
{
    // A satisfied wait clears an auto-reset event, so of several consumers
    // exactly one gets it; a manual-reset event stays set.
    return ::WaitForSingleObject(ToHandle(handle.Get()), 0) == WAIT_OBJECT_0;
}

bool Event::Wait(int timeoutMs)
{
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForSingleObject(ToHandle(handle.Get()), wait) == WAIT_OBJECT_0;
}

}  // namespace Quillet::Platform
