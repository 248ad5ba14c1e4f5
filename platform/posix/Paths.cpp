// Paths on POSIX: "/" is the only separator, and programs carry no suffix.
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

}  // namespace Quillet::Platform
