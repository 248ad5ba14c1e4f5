// Folder watches on Windows: a stub whose Open fails with
// ERROR_CALL_NOT_IMPLEMENTED, so a watch is never open. The port will use
// ReadDirectoryChangesW with an overlapped read completing on an event.
#include "platform/win32/Internal.h"

#include "platform/DirWatch.h"

namespace Quillet::Platform {

bool DirWatch::Open(const std::wstring&)
{
    Close();
    SetNotSupported();
    return false;
}

void DirWatch::Rearm()
{
}

void DirWatch::Rearm(std::vector<std::wstring>&)
{
}

void DirWatch::Close()
{
    handle.Reset();
}

}  // namespace Quillet::Platform
