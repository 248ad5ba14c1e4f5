// Private folders on Windows: a stub that makes none (the object stays empty,
// as when a folder cannot be made). The port will make them with
// CreateDirectoryW and a DACL for this user alone.
#include "platform/win32/Internal.h"

#include "platform/PrivateFolder.h"

namespace Quillet::Platform {

PrivateFolder::PrivateFolder(const std::wstring&)
{
    SetNotSupported();
}

void PrivateFolder::Remove() noexcept
{
    path.clear();
}

bool RenameFile(const std::wstring&, const std::wstring&)
{
    SetNotSupported();
    return false;
}

}  // namespace Quillet::Platform
