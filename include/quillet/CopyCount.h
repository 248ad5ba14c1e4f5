// CopyCount: named copy counters shared by the processes of the print path.
#pragma once

#include <quillet/Export.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Quillet {

class NamedMutex;
struct CopyCountRecord;

/// A named counter in a table of shared memory that every process on the machine
/// reaches. Processes that create a counter of the same name share its record.
/// One thread starts counting, anyone adds copies, the starting thread stops,
/// and after a 5-second grace period GetCopyCount returns the total.
///
/// All operations serialise on one machine-wide mutex; any thread may call
/// them. Copies of an object share its mutex handle and its record. The
/// constructor throws std::runtime_error("Mutex creation failed") or ("Shared
/// memory creation failed") when the shared objects cannot be reached. Every
/// operation throws an exception of the base type std::exception with
/// "Mutex lock failed" or "Mutex unlock failed" when the mutex fails; an owner
/// that died holding it is not a failure: the next caller takes it over.
///
/// A record is leased: once its counting is over (idle, or past its grace
/// period) and no live object is bound to it (in any process), a new name may
/// take it over. Two live counters of different names never share a record.
/// Names are compared in full and stored cut to 127 UTF-16 code units, so a
/// longer name never finds its record again.
class QUILLET_API CopyCount {
public:
    /// Creates a counter on the heap; the counterpart of Release.
    static CopyCount* Create(const std::wstring& name);

    /// Binds to the record of name, claiming a free one when no record has it
    /// (over, and bound to no live object). While none is free it waits,
    /// looking again four times a second without keeping other processes
    /// from the mutex, and after 10 s it gives up with std::runtime_error("No
    /// free copy counter record"). A NUL in name ends it.
    explicit CopyCount(const std::wstring& name);
    CopyCount(const CopyCount& other);
    CopyCount& operator=(const CopyCount& other);
    virtual ~CopyCount();

    /// Destroys an object made by Create.
    void Release();

    /// Starts counting; a start after the grace period restarts from 0.
    void Start();
    /// Ends counting when called by the thread that started it; the grace
    /// period of 5 seconds follows.
    void Stop();
    /// Resets the record to idle with no copies.
    void StopCounting();
    void AddCopy();
    std::int32_t GetCopies() const;
    /// Waits until counting and its grace period are over, then returns the
    /// count. Checks every 5 seconds and holds the mutex only while checking.
    std::int32_t GetCopyCount() const;
    /// True while counting or within the grace period.
    bool IsCopy() const;

private:
    std::shared_ptr<NamedMutex> mutex;
    CopyCountRecord* record;
};

}  // namespace Quillet
