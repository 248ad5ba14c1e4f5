// The names of the copy counters' shared objects and this process's view of
// the shared table.
#include "copycount/CopyCountTable.h"

#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"

#include <cstring>
#include <mutex>
#include <optional>
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

/// The scope this process counts in, once chosen; guarded by ScopeLock.
std::optional<Platform::SharedScope>& ChosenScope()
{
    static std::optional<Platform::SharedScope> scope;
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
    std::lock_guard<std::mutex> guard(ScopeLock());
    std::optional<Platform::SharedScope>& chosen = ChosenScope();
    if (chosen)
        return *chosen;
    // The print path's objects when they can be trusted; else this user's
    // own, which nobody else can reach: counting goes on, for this user's
    // processes only. Decided once, so that every counter of the process
    // counts in the same table.
    try {
        NamedMutex mutex(GetMutexName(), Platform::SharedScope::PrintPath);
        MutexLock lock(mutex);
        const bool mapped = MapTable(Platform::SharedScope::PrintPath);
        lock.Unlock();
        chosen = mapped ? Platform::SharedScope::PrintPath : Platform::SharedScope::User;
    } catch (const Platform::SharedObjectRefused&) {
        chosen = Platform::SharedScope::User;
    }
    return *chosen;
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
    if (!MapTable(GetScope()))
        throw std::runtime_error("Shared memory creation failed");  // replaced since the scope was chosen
    return *static_cast<CopyCountTable*>(TableView().GetAddress());
}

void SetNameSuffixForTests(const std::wstring& suffix)
{
    TableView().Close();
    NameSuffix() = suffix;
    std::lock_guard<std::mutex> guard(ScopeLock());
    ChosenScope().reset();
}

void RemoveObjectsForTests()
{
    TableView().Close();
    for (Platform::SharedScope scope : {Platform::SharedScope::PrintPath, Platform::SharedScope::User}) {
        Platform::SharedMemory::Remove(GetTableName(), scope);
        NamedMutex::Remove(GetMutexName(), scope);
    }
    std::lock_guard<std::mutex> guard(ScopeLock());
    ChosenScope().reset();
}

}  // namespace Quillet::CopyCountShared
