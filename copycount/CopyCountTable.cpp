// The names of the copy counters' shared objects and this process's view of
// the shared table.
#include "copycount/CopyCountTable.h"

#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"

#include <cstring>
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

}  // namespace

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
    Platform::SharedMemory& view = TableView();
    if (!view.IsMapped()) {
        switch (view.Open(GetTableName(), sizeof(CopyCountTable))) {
        case Platform::SharedMemory::OpenResult::Created:
            // A new table has every record idle and unnamed. The memory is
            // already zero; clearing it explicitly keeps that true on systems
            // where a new mapping is not.
            std::memset(view.GetAddress(), 0, sizeof(CopyCountTable));
            break;
        case Platform::SharedMemory::OpenResult::Opened:
            break;
        case Platform::SharedMemory::OpenResult::Failed:
            throw std::runtime_error("Shared memory creation failed");
        }
    }
    return *static_cast<CopyCountTable*>(view.GetAddress());
}

void SetNameSuffixForTests(const std::wstring& suffix)
{
    TableView().Close();
    NameSuffix() = suffix;
}

void RemoveObjectsForTests()
{
    TableView().Close();
    Platform::SharedMemory::Remove(GetTableName());
    NamedMutex::Remove(GetMutexName());
}

}  // namespace Quillet::CopyCountShared
