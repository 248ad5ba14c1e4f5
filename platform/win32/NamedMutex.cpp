// NamedMutex on Windows: a named mutex object (CreateMutexW) with the scope's
// DACL, judged by its owner and DACL when it already exists; WAIT_ABANDONED
// is an owner that died holding it.
#include "platform/win32/Internal.h"

#include "platform/NamedMutex.h"
#include "platform/win32/SharedObject.h"

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace Quillet {

/// This process's handle on one mutex, and the thread that holds it: a
/// Windows mutex may be taken again by its owner, which this mutex refuses.
struct NamedMutex::Shared {
    HANDLE mutex = nullptr;
    std::atomic<DWORD> owner{0};
};

namespace {

using Shared = NamedMutex::Shared;

/// This process's handles on the named mutexes, one per name, so that a
/// second lock by the owning thread is seen whichever NamedMutex it goes
/// through. The handles are closed when the library is unloaded.
class MutexHandles {
public:
    ~MutexHandles()
    {
        for (auto& entry : handles)
            Close(entry.second);
        for (Shared* shared : retired)
            Close(shared);
    }

    /// The handle of name in scope; null with the thread's last error set
    /// (ERROR_ACCESS_DENIED when the mutex is refused).
    Shared* Open(const std::wstring& name, Platform::SharedScope scope)
    {
        const std::wstring object = Platform::SharedObjectName(name, scope);
        std::lock_guard<std::mutex> guard(lock);
        auto it = handles.find(object);
        if (it != handles.end())
            return it->second;
        Platform::ScopeSecurity security(scope);
        if (security.Get() == nullptr)
            return nullptr;
        HANDLE mutex = ::CreateMutexW(security.Get(), FALSE, object.c_str());
        if (mutex == nullptr)
            return nullptr;
        if (::GetLastError() == ERROR_ALREADY_EXISTS &&
            !Platform::IsTrustedObject(mutex, SE_KERNEL_OBJECT, scope)) {
            ::CloseHandle(mutex);
            ::SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        auto* shared = new Shared;
        shared->mutex = mutex;
        handles.emplace(object, shared);
        return shared;
    }

    /// After Remove the next open makes a handle of its own; NamedMutex
    /// objects still open keep the old one until unload.
    bool Forget(const std::wstring& object)
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = handles.find(object);
        if (it == handles.end())
            return false;
        retired.push_back(it->second);
        handles.erase(it);
        return true;
    }

private:
    static void Close(Shared* shared)
    {
        ::CloseHandle(shared->mutex);
        delete shared;
    }

    std::mutex lock;
    std::map<std::wstring, Shared*> handles;
    std::vector<Shared*> retired;
};

MutexHandles& Handles()
{
    static MutexHandles handles;
    return handles;
}

}  // namespace

NamedMutex::NamedMutex(const std::wstring& name, Platform::SharedScope scope) : shared(Handles().Open(name, scope))
{
    if (shared == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED)
        throw Platform::SharedObjectRefused("Mutex refused");
    if (shared == nullptr)
        throw std::runtime_error("Mutex creation failed");
}

// The handle is shared by every NamedMutex of the process; closing one has
// nothing of its own to release.
NamedMutex::~NamedMutex() = default;

bool NamedMutex::Lock()
{
    const DWORD self = ::GetCurrentThreadId();
    if (shared->owner.load() == self)
        throw MutexError("Mutex lock failed");
    switch (::WaitForSingleObject(shared->mutex, INFINITE)) {
    case WAIT_OBJECT_0:
        shared->owner.store(self);
        return false;
    case WAIT_ABANDONED:
        // The owner died holding it: ours now, and the data it guards is
        // whatever the dead owner left.
        shared->owner.store(self);
        return true;
    default:
        throw MutexError("Mutex lock failed");
    }
}

void NamedMutex::Unlock()
{
    if (shared->owner.load() != ::GetCurrentThreadId())
        throw MutexError("Mutex unlock failed");
    shared->owner.store(0);
    if (!::ReleaseMutex(shared->mutex))
        throw MutexError("Mutex unlock failed");
}

bool NamedMutex::Remove(const std::wstring& name, Platform::SharedScope scope)
{
    // A mutex goes with its last handle: this process lets go of its own (for
    // the next open), and the name lasts while other processes hold theirs.
    const std::wstring object = Platform::SharedObjectName(name, scope);
    const bool known = Handles().Forget(object);
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, object.c_str());
    if (mutex != nullptr)
        ::CloseHandle(mutex);
    return known || mutex != nullptr;
}

}  // namespace Quillet
