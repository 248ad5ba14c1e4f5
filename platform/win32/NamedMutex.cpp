// Named mutexes on Windows: a stub whose construction throws "Mutex creation
// failed". The port will use CreateMutexW, whose WAIT_ABANDONED is our owner
// that died holding it.
#include "platform/win32/Internal.h"

#include "platform/NamedMutex.h"

namespace Quillet {

struct NamedMutex::Shared {
};

NamedMutex::NamedMutex(const std::wstring&, Platform::SharedScope) : shared(nullptr)
{
    Platform::ThrowNotSupported("Mutex creation failed");
}

NamedMutex::~NamedMutex() = default;

bool NamedMutex::Lock()
{
    throw MutexError("Mutex lock failed");
}

void NamedMutex::Unlock()
{
    throw MutexError("Mutex unlock failed");
}

bool NamedMutex::Remove(const std::wstring&, Platform::SharedScope)
{
    Platform::SetNotSupported();
    return false;
}

}  // namespace Quillet
