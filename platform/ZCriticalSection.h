// ZCriticalSection: a recursive lock, and its scoped guard.
#pragma once

#include <mutex>

namespace Quillet {

/// A recursive mutex: the thread that holds it may enter it again.
class ZCriticalSection {
public:
    void Enter() { mutex.lock(); }
    void Leave() { mutex.unlock(); }

    // Lockable, so that std::lock_guard and std::unique_lock work on it.
    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }

private:
    std::recursive_mutex mutex;
};

/// Holds a ZCriticalSection for its scope.
using ZLock = std::lock_guard<ZCriticalSection>;

}  // namespace Quillet
