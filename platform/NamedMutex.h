// NamedMutex, a mutex that every process on the machine reaches by its name,
// its scoped lock MutexLock, and MutexError, the exception of a failed lock.
#pragma once

#include <quillet/NonCopyable.h>

#include "platform/SharedScope.h"

#include <exception>
#include <string>

namespace Quillet {

/// The failure of a lock or unlock. Deliberately derived from std::exception
/// itself (not std::runtime_error): callers tell it apart from the creation
/// failures. what() is the fixed message given at construction.
class MutexError : public std::exception {
public:
    explicit MutexError(const char* message) noexcept : message(message) {}
    const char* what() const noexcept override { return message; }

private:
    const char* message;  // a string literal
};

/// One process's handle on a mutex shared by name between processes, created
/// by the first process that opens the name. The mutex is not re-entrant.
///
/// When the process that held the mutex died, the next Lock succeeds, says so,
/// and the mutex stays usable; the data it guards is whatever the dead owner
/// left.
///
/// Any thread may use a handle; the handle object itself is not copied but
/// shared (the copy counter shares it through a shared_ptr).
class NamedMutex : private NonCopyable {
public:
    /// Opens the mutex called name in scope, creating it when no process has
    /// yet. Throws Platform::SharedObjectRefused("Mutex refused") when it
    /// exists but others than scope allows could change it (see
    /// Platform::SharedScope), std::runtime_error("Mutex creation failed")
    /// when it cannot be had otherwise.
    explicit NamedMutex(const std::wstring& name,
                        Platform::SharedScope scope = Platform::SharedScope::PrintPath);
    /// Closes the handle; the mutex itself stays for the other processes.
    ~NamedMutex();

    /// Waits without bound until this thread holds the mutex. Returns true
    /// when it was taken over from an owner that died holding it. Throws
    /// MutexError("Mutex lock failed") when the mutex cannot be taken (for
    /// instance when this thread already holds it).
    bool Lock();
    /// Gives the mutex up. Throws MutexError("Mutex unlock failed") when this
    /// thread does not hold it.
    void Unlock();
    /// Removes the name, so that the next open creates a fresh mutex; handles
    /// already open keep working on the old one. False when there was no such
    /// name. For tests and clean-up tools.
    static bool Remove(const std::wstring& name, Platform::SharedScope scope = Platform::SharedScope::PrintPath);

    /// The mutex as the platform code lays it out in shared memory.
    struct Shared;

private:
    Shared* shared;  // this process's view of the mutex; owned by the platform code
};

/// Holds a NamedMutex for its scope.
///
/// Unlock() gives the mutex up early and reports a failure as MutexError; the
/// destructor gives it up silently, because it runs either after Unlock() or
/// while another exception propagates, and that first exception is the one
/// worth reporting.
class MutexLock : private NonCopyable {
public:
    /// Takes the mutex; throws MutexError("Mutex lock failed").
    explicit MutexLock(NamedMutex& mutex);
    ~MutexLock();
    /// True when the mutex was taken over from an owner that had died.
    bool GetOwnerWasLost() const { return ownerWasLost; }
    /// Gives the mutex up; throws MutexError("Mutex unlock failed").
    void Unlock();

private:
    NamedMutex& mutex;
    bool locked;
    bool ownerWasLost;
};

}  // namespace Quillet
