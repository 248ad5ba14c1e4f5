// Paths on Windows: "\" and "/" both separate, "\" is written, and a program's
// file ends in ".exe"; Ghostscript's console program is gswin64c.exe.
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

std::wstring ProgramPath(const std::wstring& folder, const std::wstring& name)
{
    return JoinPath({folder, name}) + L".exe";
}

std::wstring GhostscriptProgramName()
{
    return L"gswin64c";
}

}  // namespace Quillet::Platform
