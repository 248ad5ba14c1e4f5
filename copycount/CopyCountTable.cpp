// The names of the copy counters' shared objects and this process's view of
// the shared table.
#include "copycount/CopyCountTable.h"

#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace Quillet::CopyCountShared {
namespace {

std::wstring& NameSuffix()
{
    static std::wstring suffix;
    return suffix;
}

/// The process's one view of the table. Its destructor, run when the library
/// is unloaded (or the process ends), unmaps the table; counters still alive
/// then must not be used any more.
Platform::SharedMemory& TableView()
{
    static Platform::SharedMemory view;
    return view;
}

constexpr int kNotChosen = -1;

/// The scope this process counts in (a SharedScope), or kNotChosen. Written
/// under ScopeLock; read without it by OpenTable, whose callers hold the
/// counters' mutex, which the choice itself takes under ScopeLock.
std::atomic<int>& ChosenScope()
{
    static std::atomic<int> scope{kNotChosen};
    return scope;
}

std::mutex& ScopeLock()
{
    static std::mutex lock;
    return lock;
}

/// Maps the table of scope; the caller holds the mutex of that scope. False
/// when the table is refused.
bool MapTable(Platform::SharedScope scope)
{
    Platform::SharedMemory& view = TableView();
    if (view.IsMapped())
        return true;
    switch (view.Open(GetTableName(), sizeof(CopyCountTable), scope)) {
    case Platform::SharedMemory::OpenResult::Created:
        // A new table has every record idle and unnamed. The memory is
        // already zero; clearing it explicitly keeps that true on systems
        // where a new mapping is not.
        std::memset(view.GetAddress(), 0, sizeof(CopyCountTable));
        return true;
    case Platform::SharedMemory::OpenResult::Opened:
        return true;
    case Platform::SharedMemory::OpenResult::Refused:
        return false;
    case Platform::SharedMemory::OpenResult::Failed:
        break;
    }
    throw std::runtime_error("Shared memory creation failed");
}

}  // namespace

Platform::SharedScope GetScope()
{
    const int known = ChosenScope().load();
    if (known != kNotChosen)
        return static_cast<Platform::SharedScope>(known);
    std::lock_guard<std::mutex> guard(ScopeLock());
    if (ChosenScope().load() != kNotChosen)
        return static_cast<Platform::SharedScope>(ChosenScope().load());
    Platform::SharedScope chosen = Platform::SharedScope::User;
    // The print path's objects when they can be trusted; else this user's
    // own, which nobody else can reach: counting goes on, for this user's
    // processes only. Decided once, so that every counter of the process
    // counts in the same table.
    try {
        NamedMutex mutex(GetMutexName(), Platform::SharedScope::PrintPath);
        MutexLock lock(mutex);
        const bool mapped = MapTable(Platform::SharedScope::PrintPath);
        lock.Unlock();
        if (mapped)
            chosen = Platform::SharedScope::PrintPath;
    } catch (const Platform::SharedObjectRefused&) {
        // Another user's mutex, or one this process may not open: the
        // user's own pair.
    }
    ChosenScope().store(static_cast<int>(chosen));
    return chosen;
}

std::wstring GetMutexName()
{
    return L"QV_Quillet_CopyCount" + NameSuffix();
}

std::wstring GetTableName()
{
    return L"QV_Quillet_CopyCountMem" + NameSuffix();
}

CopyCountTable& OpenTable()
{
    const int chosen = ChosenScope().load();
    const auto scope = chosen == kNotChosen ? Platform::SharedScope::PrintPath
                                            : static_cast<Platform::SharedScope>(chosen);
    if (!MapTable(scope))
        throw std::runtime_error("Shared memory creation failed");  // refused since the scope was chosen
    return *static_cast<CopyCountTable*>(TableView().GetAddress());
}

void SetNameSuffixForTests(const std::wstring& suffix)
{
    TableView().Close();
    NameSuffix() = suffix;
    std::lock_guard<std::mutex> guard(ScopeLock());
    ChosenScope().store(kNotChosen);
}

void RemoveObjectsForTests()
{
    TableView().Close();
    for (Platform::SharedScope scope : {Platform::SharedScope::PrintPath, Platform::SharedScope::User}) {
        Platform::SharedMemory::Remove(GetTableName(), scope);
        NamedMutex::Remove(GetMutexName(), scope);
    }
    std::lock_guard<std::mutex> guard(ScopeLock());
    ChosenScope().store(kNotChosen);
}

}  // namespace Quillet::CopyCountShared
