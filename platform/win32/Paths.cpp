// Paths on Windows: "\" and "/" both separate, "\" is written, roots are a
// drive ("C:\") or a share ("\\server\share\"), and a program's file ends in
// ".exe"; Ghostscript's console program is gswin64c.exe.
#include "platform/win32/Internal.h"

#include "platform/Paths.h"

namespace Quillet::Platform {

bool IsPathSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

wchar_t PathSeparator()
{
    return L'\\';
}

std::size_t PathRootLength(const std::wstring& path)
{
    if (path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1])) {
        // "\\server\share\": the server's and the share's names belong to the root.
        std::size_t at = path.find_first_of(L"\\/", 2);
        if (at != std::wstring::npos)
            at = path.find_first_of(L"\\/", at + 1);
        return at == std::wstring::npos ? path.size() : at + 1;
    }
    if (path.size() >= 2 && path[1] == L':')
        return path.size() >= 3 && IsPathSeparator(path[2]) ? 3 : 2;
    return !path.empty() && IsPathSeparator(path[0]) ? 1 : 0;
}

std::wstring ProgramPath(const std::wstring& folder, const std::wstring& name)
{
    return JoinPath({folder, name}) + L".exe";
}

std::wstring GhostscriptProgramName()
{
    return L"gswin64c";
}

}  // namespace Quillet::Platform
