// Shared memory and marks on Windows: stubs that fail with
// ERROR_CALL_NOT_IMPLEMENTED. The port will map CreateFileMappingW sections
// and mark records with LockFileEx on a file of its own.
#include "platform/win32/Internal.h"

#include "platform/SharedMemory.h"

namespace Quillet::Platform {

SharedMemory::OpenResult SharedMemory::Open(const std::wstring&, std::size_t, SharedScope)
{
    Close();
    SetNotSupported();
    return OpenResult::Failed;
}

void SharedMemory::Close() noexcept
{
    address = nullptr;
    size = 0;
}

bool SharedMemory::Remove(const std::wstring&, SharedScope)
{
    SetNotSupported();
    return false;
}

bool SharedMark::Open(const std::wstring&, SharedScope)
{
    Close();
    SetNotSupported();
    return false;
}

bool SharedMark::Hold(std::size_t)
{
    SetNotSupported();
    return false;
}

bool SharedMark::IsHeldByOthers(std::size_t) const
{
    return false;
}

}  // namespace Quillet::Platform
