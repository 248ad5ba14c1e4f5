// AppendPathDelimiter and FileStem.
#include "settings/PathHelpers.h"

#include "platform/ZBaseStorage.h"

namespace Quillet {

void AppendPathDelimiter(std::wstring& path)
{
    if (path.empty())
        return;
    const wchar_t last = path.back();
    if (last == L'/' || last == L'\\')
        return;
    path += ZBaseStorage::kZPathDelimStr;
}

std::wstring FileStem(const std::wstring& path)
{
    const std::size_t cut = path.find_last_of(L":/\\");
    const std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
    const std::size_t dot = name.rfind(L'.');
    // Only a short extension (at most four characters) counts as one; a longer
    // tail after the last dot is part of the name, and earlier dots are not tried.
    if (dot != std::wstring::npos && dot + 5 >= name.size())
        return name.substr(0, dot);
    return name;
}

}  // namespace Quillet
