// The copy counters' shared table: its record layout, the names of the shared
// objects, and this process's view of the table.
#pragma once

#include "platform/SharedScope.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quillet {

/// One counter, exactly as every process sees it in the shared table: 268
/// bytes, native byte order (little-endian on every platform we build for).
struct CopyCountRecord {
    /// UTF-16, NUL-terminated; empty in a record never claimed. At most 127
    /// code units are stored; a longer name is cut (never between the two
    /// halves of a surrogate pair, so a cut can leave 126).
    char16_t name[128];
    /// Copies counted.
    std::int32_t copies;
    /// Seconds since 1970 as a signed 32-bit number: kIdle, kCounting, or the
    /// last second of the grace period after a stop.
    std::int32_t stopTime;
    /// The thread that last started counting; 0 after a reset.
    std::uint32_t threadId;
};

/// The whole shared object: 100 records back to back.
struct CopyCountTable {
    static constexpr std::size_t kRecordCount = 100;
    CopyCountRecord records[kRecordCount];
};

// Other processes of the print path read and write these bytes: the layout
// must never change.
static_assert(sizeof(char16_t) == 2, "names are UTF-16 code units");
static_assert(offsetof(CopyCountRecord, name) == 0, "record layout");
static_assert(offsetof(CopyCountRecord, copies) == 256, "record layout");
static_assert(offsetof(CopyCountRecord, stopTime) == 260, "record layout");
static_assert(offsetof(CopyCountRecord, threadId) == 264, "record layout");
static_assert(sizeof(CopyCountRecord) == 268, "record layout");
static_assert(sizeof(CopyCountTable) == 26800, "table layout");
#if defined(__BYTE_ORDER__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the table is little-endian");
#endif

namespace CopyCountShared {

constexpr std::int32_t kIdle = 0;
constexpr std::int32_t kCounting = -1;
/// Longest name a record holds, in UTF-16 code units, before its NUL.
constexpr std::size_t kMaxNameUnits = 127;

/// Name of the machine-wide mutex that guards the table.
std::wstring GetMutexName();
/// Name of the shared table.
std::wstring GetTableName();
/// Where this process's counters count: the print path's objects, shared
/// with the print system, when nobody else could change them; else this
/// user's own. Chosen at the first call, for the life of the process. Throws
/// std::runtime_error when the print path's objects can be had neither way.
Platform::SharedScope GetScope();

/// This process's view of the table of GetScope(). The first call in the
/// process maps it (zero-filling a table it creates); the view is kept until
/// the library is unloaded. The caller must hold the mutex named
/// GetMutexName() in GetScope(): that makes
/// the zero-filling of a new table safe against other processes and the view
/// itself safe against the process's other threads. Throws
/// std::runtime_error("Shared memory creation failed") when the table cannot
/// be mapped; a later call tries again.
CopyCountTable& OpenTable();

/// For tests only: from now on the mutex and the table are named with suffix
/// appended, so that test runs never meet each other's objects or the print
/// path's. Drops this process's view of the table. Call only while no
/// CopyCount exists in the process and no other thread uses counters.
void SetNameSuffixForTests(const std::wstring& suffix);
/// For tests only: removes the mutex and the table of the current names, in
/// both scopes, drops this process's view of the table and forgets the
/// scope. Same conditions as above.
void RemoveObjectsForTests();

}  // namespace CopyCountShared
}  // namespace Quillet
