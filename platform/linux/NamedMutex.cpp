// NamedMutex on POSIX: a process-shared, robust pthread mutex in a small
// shared-memory object of its own, named after the mutex.
#include "platform/NamedMutex.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"
#include "platform/posix/SharedObject.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace Quillet {

/// The shared object's contents. `state` makes the one-time initialisation of
/// the mutex safe between processes that open a new object at the same time:
/// 0 in a new object, the process id of the process initialising it, or
/// kReady once the mutex may be used.
struct NamedMutex::Shared {
    std::atomic<std::uint32_t> state;
    std::uint32_t reserved;
    pthread_mutex_t mutex;
};

namespace {

using Shared = NamedMutex::Shared;

// Above the largest process id Linux hands out (2^22).
constexpr std::uint32_t kReady = 0x51434D58u;

static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
                  sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the state word is shared between processes and waited on with futex");

std::uint32_t* StateWord(Shared* shared)
{
    return reinterpret_cast<std::uint32_t*>(&shared->state);
}

/// Sleeps until the state word changes from expected or 100 ms have passed.
/// The bound lets a waiter notice that the initialising process has died.
void WaitForStateChange(Shared* shared, std::uint32_t expected)
{
    timespec bound{0, 100 * 1000 * 1000};
    ::syscall(SYS_futex, StateWord(shared), FUTEX_WAIT, expected, &bound, nullptr, 0);
}

void WakeStateWaiters(Shared* shared)
{
    ::syscall(SYS_futex, StateWord(shared), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

bool InitialiseMutex(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attributes;
    if (::pthread_mutexattr_init(&attributes) != 0)
        return false;
    // Shared between processes; robust, so that the death of an owner does
    // not leave every other process waiting for ever; error-checking, so that
    // a second lock by the owner fails instead of deadlocking.
    const bool ok = ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                    ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                    ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                    ::pthread_mutex_init(mutex, &attributes) == 0;
    ::pthread_mutexattr_destroy(&attributes);
    return ok;
}

/// Makes sure exactly one process initialises the mutex of a new object, and
/// that nobody uses it before. A process that dies half-way through leaves
/// its id in the state word; the next opener finds it gone and takes over.
bool EnsureInitialised(Shared* shared)
{
    const auto self = static_cast<std::uint32_t>(::getpid());
    for (;;) {
        std::uint32_t state = shared->state.load(std::memory_order_acquire);
        if (state == kReady)
            return true;
        if (state == 0 || !ZUtilities::IsProcessAlive(state)) {
            if (!shared->state.compare_exchange_strong(state, self, std::memory_order_acq_rel))
                continue;
            const bool ok = InitialiseMutex(&shared->mutex);
            shared->state.store(ok ? kReady : 0, std::memory_order_release);
            WakeStateWaiters(shared);
            return ok;
        }
        WaitForStateChange(shared, state);
    }
}

Shared* MapObject(const std::wstring& name, Platform::SharedScope scope)
{
    bool created = false;
    const int fd = Platform::OpenSharedObject(name, scope, created);
    if (fd < 0)
        return nullptr;
    void* view = MAP_FAILED;
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
        // Size 0: new, or its creator died before sizing it. Every opener
        // may grow it: growing to the same size again changes nothing.
        const bool sized = static_cast<std::size_t>(status.st_size) >= sizeof(Shared) ||
                           (status.st_size == 0 && ::ftruncate(fd, sizeof(Shared)) == 0);
        if (sized)
            view = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    if (view == MAP_FAILED)
        return nullptr;
    auto* shared = static_cast<Shared*>(view);
    if (!EnsureInitialised(shared)) {
        ::munmap(view, sizeof(Shared));
        return nullptr;
    }
    return shared;
}

/// This process's views of the named mutexes, one per name. All handles of a
/// process share one view, so that a mutex has one address in the process
/// (thread checkers then see one lock). The views are unmapped when the
/// library is unloaded.
class MutexViews {
public:
    ~MutexViews()
    {
        for (auto& entry : views)
            ::munmap(entry.second, sizeof(Shared));
        for (Shared* view : retired)
            ::munmap(view, sizeof(Shared));
    }

    Shared* Open(const std::wstring& name, Platform::SharedScope scope)
    {
        const std::string path = Platform::SharedObjectPath(name, scope);
        std::lock_guard<std::mutex> guard(lock);
        auto it = views.find(path);
        if (it != views.end())
            return it->second;
        Shared* shared = MapObject(name, scope);
        if (shared != nullptr)
            views.emplace(path, shared);
        return shared;
    }

    /// After the name was removed, the next open must reach the new object;
    /// handles still open keep the old view until unload.
    void Forget(const std::string& path)
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = views.find(path);
        if (it != views.end()) {
            retired.push_back(it->second);
            views.erase(it);
        }
    }

private:
    std::mutex lock;
    std::map<std::string, Shared*> views;
    std::vector<Shared*> retired;
};

MutexViews& Views()
{
    static MutexViews views;
    return views;
}

}  // namespace

NamedMutex::NamedMutex(const std::wstring& name, Platform::SharedScope scope) : shared(Views().Open(name, scope))
{
    if (shared == nullptr && errno == EACCES)
        throw Platform::SharedObjectRefused("Mutex refused");
    if (shared == nullptr)
        throw std::runtime_error("Mutex creation failed");
}

// The view is shared by every handle of the process; closing one handle has
// nothing of its own to release.
NamedMutex::~NamedMutex() = default;

bool NamedMutex::Lock()
{
    const int result = ::pthread_mutex_lock(&shared->mutex);
    if (result == 0)
        return false;
    if (result == EOWNERDEAD) {
        // The owner died holding the mutex. Declaring it consistent lets it go
        // on being used; without that it would become unusable for everyone
        // once we unlock.
        if (::pthread_mutex_consistent(&shared->mutex) == 0)
            return true;
        ::pthread_mutex_unlock(&shared->mutex);
    }
    throw MutexError("Mutex lock failed");
}

void NamedMutex::Unlock()
{
    if (::pthread_mutex_unlock(&shared->mutex) != 0)
        throw MutexError("Mutex unlock failed");
}

bool NamedMutex::Remove(const std::wstring& name, Platform::SharedScope scope)
{
    const std::string path = Platform::SharedObjectPath(name, scope);
    Views().Forget(path);
    return ::shm_unlink(path.c_str()) == 0;
}

}  // namespace Quillet
