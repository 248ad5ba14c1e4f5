// Folder surveys on Windows: stubs that find nothing (and fail with
// ERROR_CALL_NOT_IMPLEMENTED). The port will walk with FindFirstFileExW.
#include "platform/win32/Internal.h"

#include "platform/FolderSurvey.h"

namespace Quillet::Platform {

std::uint64_t FolderBytes(const std::wstring&)
{
    SetNotSupported();
    return 0;
}

std::map<std::string, std::uint64_t> FolderFiles(const std::wstring&, const std::vector<std::wstring>&)
{
    SetNotSupported();
    return {};
}

}  // namespace Quillet::Platform
