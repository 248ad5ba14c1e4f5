// The one place where wide strings meet the byte strings of the OS and the wire.
#pragma once

#include <string>

namespace Quillet {

/// Wide string to UTF-8. Values that are not Unicode scalar values (surrogates,
/// values above U+10FFFF) become U+FFFD. Never throws except on allocation.
std::string ToUtf8(const std::wstring& text);
/// UTF-8 to wide string. Ill-formed sequences become U+FFFD, one per maximal
/// ill-formed subpart; embedded NULs are kept.
std::wstring FromUtf8(const std::string& bytes);
/// Wide string to UTF-16 code units (characters above U+FFFF become pairs).
std::u16string ToUtf16(const std::wstring& text);
/// UTF-16 code units to a wide string; lone surrogates become U+FFFD.
std::wstring FromUtf16(const char16_t* units, std::size_t count);

}  // namespace Quillet
