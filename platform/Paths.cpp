// Joining and cutting paths by this system's separators, the same on every
// system once IsPathSeparator and PathSeparator say which they are.
#include "platform/Paths.h"

#include <algorithm>

namespace Quillet::Platform {

namespace {

std::size_t LastSeparator(const std::wstring& path)
{
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1]))
            return i - 1;
    }
    return std::wstring::npos;
}

}  // namespace

std::wstring JoinPath(std::initializer_list<std::wstring_view> parts)
{
    std::wstring path;
    for (const std::wstring_view part : parts) {
        if (!path.empty() && !IsPathSeparator(path.back()) && !part.empty())
            path += PathSeparator();
        path += part;
    }
    return path;
}

std::wstring FolderOf(const std::wstring& path)
{
    const std::size_t cut = LastSeparator(path);
    if (cut == std::wstring::npos)
        return path;
    return path.substr(0, std::max(cut, PathRootLength(path)));
}

std::wstring FileNameOf(const std::wstring& path)
{
    const std::size_t cut = LastSeparator(path);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

}  // namespace Quillet::Platform
