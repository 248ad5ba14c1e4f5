// ZString and ZFileName: OS-neutral string operations of the base library.
#include "platform/ZString.h"

#include <algorithm>

namespace Quillet {
namespace {

// Only ASCII letters fold: the comparisons serve file extensions, option
// names and queue names, where a locale-dependent fold would surprise.
wchar_t FoldAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualFolded(wchar_t a, wchar_t b)
{
    return FoldAscii(a) == FoldAscii(b);
}

}  // namespace

bool ZString::Set(const wchar_t* value)
{
    if (value == nullptr)
        return false;
    text = value;
    return true;
}

ZString& ZString::operator+=(const ZString& other)
{
    text += other.text;
    return *this;
}

ZString& ZString::operator+=(const wchar_t* other)
{
    if (other != nullptr)
        text += other;
    return *this;
}

bool ZString::CompareI(const ZString& other) const
{
    return text.size() == other.text.size() &&
           std::equal(text.begin(), text.end(), other.text.begin(), EqualFolded);
}

bool ZString::ContainsI(const ZString& other) const
{
    return std::search(text.begin(), text.end(), other.text.begin(), other.text.end(),
                       EqualFolded) != text.end() ||
           other.text.empty();
}

bool ZFileName::ReturnExt(ZString& ext) const
{
    ext = ZString();
    const std::size_t slash = text.find_last_of(L"/\\");
    const std::size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    const std::size_t dot = text.rfind(L'.');
    if (dot == std::wstring::npos || dot < nameStart || dot + 1 == text.size())
        return false;
    ext = ZString(text.substr(dot + 1));
    return true;
}

}  // namespace Quillet
