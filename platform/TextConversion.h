// The one place where wide strings meet the byte strings of the OS and the wire.
#pragma once

#include <cstddef>
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
/// Wide string to UTF-16 little-endian bytes, as the key endpoint's messages
/// carry text, cut after maxUnits code units.
std::string ToUtf16LeBytes(const std::wstring& text, std::size_t maxUnits);

/// The conversions above for a given code-unit type: 16-bit units hold
/// UTF-16, 32-bit units UTF-32. wchar_t is one or the other by OS; through
/// char16_t the UTF-16 form runs on every OS. A lone surrogate, or a 32-bit
/// value that is no scalar value, reads as U+FFFD. Instantiated for wchar_t,
/// char16_t and char32_t.
template <typename Unit>
std::string UnitsToUtf8(const Unit* units, std::size_t count);
template <typename Unit>
std::basic_string<Unit> Utf8ToUnits(const std::string& bytes);
/// From one code-unit type to another (or the same, which replaces lone
/// surrogates).
template <typename To, typename From>
std::basic_string<To> RecodeUnits(const From* units, std::size_t count);

}  // namespace Quillet
