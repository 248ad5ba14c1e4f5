// Private folders on Windows: CreateDirectoryW with a DACL for this user
// alone in the temporary folder, removed with everything in it, and the sweep
// of what processes that are gone left there; renaming with MoveFileExW.
#include "platform/win32/Files.h"

#include "platform/PrivateFolder.h"
#include "platform/ZBaseStorage.h"

#include <cwchar>

namespace Quillet::Platform {

PrivateFolder::PrivateFolder(const std::wstring& stem)
{
    std::wstring temp;
    if (!ZBaseStorage::TempDirPath(temp))
        return;
    const std::wstring start = stem + L"-";
    RemoveLeftovers(temp, [&start](const std::wstring& name) {
        if (name.compare(0, start.size(), start) != 0)
            return 0L;
        wchar_t* end = nullptr;
        const long pid = std::wcstol(name.c_str() + start.size(), &end, 10);
        return *end == L'-' ? pid : 0L;
    });
    OwnerOnlySecurity security;
    if (!security.Valid())
        return;
    const std::wstring base = temp + start + std::to_wstring(::GetCurrentProcessId()) + L"-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char bytes[6] = {};
        if (!FillRandom(bytes, sizeof bytes))
            return;
        std::wstring candidate = base;
        for (unsigned char b : bytes)
            candidate.push_back(static_cast<wchar_t>(L'a' + b % 26));
        if (!IsUsablePath(candidate))
            return;
        if (::CreateDirectoryW(SystemPath(candidate).c_str(), security.Attributes())) {
            path = candidate;
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            return;
    }
}

void PrivateFolder::Remove() noexcept
{
    if (path.empty())
        return;
    RemoveTree(path);
    path.clear();
}

bool RenameFile(const std::wstring& from, const std::wstring& to)
{
    return IsUsablePath(from) && IsUsablePath(to) &&
           ::MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace Quillet::Platform
