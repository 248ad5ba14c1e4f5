// MutexLock: holding a NamedMutex for a scope, the same on every system.
#include "platform/NamedMutex.h"

namespace Quillet {

MutexLock::MutexLock(NamedMutex& mutex) : mutex(mutex), locked(false), ownerWasLost(false)
{
    ownerWasLost = mutex.Lock();
    locked = true;
}

MutexLock::~MutexLock()
{
    if (locked) {
        try {
            mutex.Unlock();
        } catch (const MutexError&) {
            // Either Unlock() already failed and was reported, or another
            // exception is on its way out and is the one worth reporting.
        }
    }
}

void MutexLock::Unlock()
{
    locked = false;
    mutex.Unlock();
}

}  // namespace Quillet
