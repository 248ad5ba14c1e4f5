// ZString and ZFileName: the base library's string and file-name types.
#pragma once

#include <string>

namespace Quillet {

/// A wide string with the few operations the library asks of the base library.
class ZString {
public:
    ZString() = default;
    explicit ZString(const std::wstring& text) : text(text) {}

    /// Stores text; false (and nothing stored) for a null pointer.
    bool Set(const wchar_t* value);
    const wchar_t* GetPtr() const { return text.c_str(); }
    std::size_t Length() const { return text.size(); }
    const std::wstring& Str() const { return text; }
    ZString& operator+=(const ZString& other);
    ZString& operator+=(const wchar_t* other);
    /// True when equal ignoring the case of ASCII letters.
    bool CompareI(const ZString& other) const;
    /// True when other occurs in this string, ignoring the case of ASCII letters.
    bool ContainsI(const ZString& other) const;

protected:
    std::wstring text;
};

/// A ZString that holds a file path.
class ZFileName : public ZString {
public:
    using ZString::ZString;
    /// The extension without its dot: the text after the last "." of the last
    /// path component ("/" or "\" separated). False and empty when there is none.
    bool ReturnExt(ZString& ext) const;
};

}  // namespace Quillet
