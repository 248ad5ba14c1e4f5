// Paths on POSIX: "/" is the only separator, programs carry no suffix, and
// Ghostscript's console program is "gs".
#include "platform/Paths.h"

namespace Quillet::Platform {

bool IsPathSeparator(wchar_t c)
{
    return c == L'/';
}

wchar_t PathSeparator()
{
    return L'/';
}

std::wstring ProgramPath(const std::wstring& folder, const std::wstring& name)
{
    return JoinPath({folder, name});
}

std::wstring GhostscriptProgramName()
{
    return L"gs";
}

}  // namespace Quillet::Platform
