// Held folders on Windows: a stub whose Open fails with a reason. The port
// will hold the folder with CreateFileW (FILE_FLAG_BACKUP_SEMANTICS) and judge
// its owner and DACL.
#include "platform/win32/Internal.h"

#include "platform/HeldFolder.h"

namespace Quillet::Platform {

bool HeldFolder::Open(const std::wstring&, std::string& why)
{
    Close();
    why = "Holding a folder is not supported on Windows yet";
    SetNotSupported();
    return false;
}

bool HeldFolder::CanWrite(std::string& why) const
{
    why = "Holding a folder is not supported on Windows yet";
    SetNotSupported();
    return false;
}

bool HeldFolder::IsStillAt(const std::wstring&) const
{
    return false;
}

std::vector<std::wstring> HeldFolder::List(const std::wstring&) const
{
    return {};
}

bool HeldFolder::Remove(const std::wstring&) const
{
    SetNotSupported();
    return false;
}

}  // namespace Quillet::Platform
