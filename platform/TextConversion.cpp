// Conversions between wide strings (UTF-32 on Linux, UTF-16 where wchar_t
// has 16 bits) and UTF-8 / UTF-16. OS-neutral: the one place where text
// changes its encoding.
#include "platform/TextConversion.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace Quillet {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalarValue(std::uint32_t c)
{
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

bool IsSurrogate(std::uint32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

template <typename Unit>
constexpr bool kIsUtf16 = sizeof(Unit) == 2;

template <typename Unit>
std::uint32_t ValueOf(Unit unit)
{
    static_assert(sizeof(Unit) == 2 || sizeof(Unit) == 4, "code units hold UTF-16 or UTF-32");
    // wchar_t is signed on Linux: a negative value is no scalar value either.
    return static_cast<std::make_unsigned_t<Unit>>(unit);
}

/// The character that starts at units[i], i moved past it: a pair of UTF-16
/// surrogates is one character, a lone surrogate or a value that is no scalar
/// value is U+FFFD.
template <typename Unit>
char32_t NextCharacter(const Unit* units, std::size_t count, std::size_t& i)
{
    const std::uint32_t u = ValueOf(units[i++]);
    if constexpr (kIsUtf16<Unit>) {
        if (u >= 0xD800 && u <= 0xDBFF && i < count) {
            const std::uint32_t low = ValueOf(units[i]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                ++i;
                return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            }
        }
        return IsSurrogate(u) ? kReplacement : u;
    } else {
        return IsScalarValue(u) ? u : kReplacement;
    }
}

/// Appends a scalar value: one unit, or a surrogate pair for a character
/// above U+FFFF in 16-bit units.
template <typename Unit>
void AppendUnits(std::basic_string<Unit>& out, char32_t c)
{
    if constexpr (kIsUtf16<Unit>) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<Unit>(0xD800 + (c >> 10)));
            out.push_back(static_cast<Unit>(0xDC00 + (c & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<Unit>(c));
}

void AppendUtf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

template <typename Unit>
std::string UnitsToUtf8(const Unit* units, std::size_t count)
{
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count;)
        AppendUtf8(out, NextCharacter(units, count, i));
    return out;
}

template <typename Unit>
std::basic_string<Unit> Utf8ToUnits(const std::string& bytes)
{
    std::basic_string<Unit> out;
    // At most one unit per byte: a surrogate pair comes from four bytes.
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out.push_back(static_cast<Unit>(lead));
            ++i;
            continue;
        }
        // The well-formed sequences: the lead fixes the length and the range
        // of the second byte; later bytes are plain continuation bytes.
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
        std::uint32_t c;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2; c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3; c = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;       // no overlong forms
            if (lead == 0xED) high = 0x9F;      // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4; c = lead & 0x07;
            if (lead == 0xF0) low = 0x90;       // no overlong forms
            if (lead == 0xF4) high = 0x8F;      // nothing above U+10FFFF
        } else {
            // A stray continuation byte, an overlong lead (C0, C1) or F5..FF.
            AppendUnits(out, kReplacement);
            ++i;
            continue;
        }
        // Consume the longest valid prefix; an ill-formed one (the maximal
        // subpart) becomes one replacement character and the byte that broke
        // it is looked at again as the start of the next sequence.
        std::size_t used = 1;
        while (used < length && i + used < n) {
            const unsigned char b = p[i + used];
            const unsigned char lo = used == 1 ? low : 0x80;
            const unsigned char hi = used == 1 ? high : 0xBF;
            if (b < lo || b > hi)
                break;
            c = (c << 6) | (b & 0x3F);
            ++used;
        }
        AppendUnits(out, used == length ? c : kReplacement);
        i += used;
    }
    return out;
}

template <typename To, typename From>
std::basic_string<To> RecodeUnits(const From* units, std::size_t count)
{
    std::basic_string<To> out;
    if (units == nullptr)
        return out;
    out.reserve(count);
    for (std::size_t i = 0; i < count;)
        AppendUnits(out, NextCharacter(units, count, i));
    return out;
}

#define QUILLET_UNIT_CONVERSIONS(Unit)                                                     \
    template std::string UnitsToUtf8<Unit>(const Unit*, std::size_t);                     \
    template std::basic_string<Unit> Utf8ToUnits<Unit>(const std::string&);               \
    template std::basic_string<Unit> RecodeUnits<Unit, wchar_t>(const wchar_t*, std::size_t); \
    template std::basic_string<Unit> RecodeUnits<Unit, char16_t>(const char16_t*, std::size_t); \
    template std::basic_string<Unit> RecodeUnits<Unit, char32_t>(const char32_t*, std::size_t);
QUILLET_UNIT_CONVERSIONS(wchar_t)
QUILLET_UNIT_CONVERSIONS(char16_t)
QUILLET_UNIT_CONVERSIONS(char32_t)
#undef QUILLET_UNIT_CONVERSIONS

std::string ToUtf8(const std::wstring& text)
{
    return UnitsToUtf8(text.data(), text.size());
}

std::wstring FromUtf8(const std::string& bytes)
{
    return Utf8ToUnits<wchar_t>(bytes);
}

std::u16string ToUtf16(const std::wstring& text)
{
    return RecodeUnits<char16_t>(text.data(), text.size());
}

std::string ToUtf16LeBytes(const std::wstring& text, std::size_t maxUnits)
{
    std::u16string units = ToUtf16(text);
    units.resize(std::min(units.size(), maxUnits));
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::wstring FromUtf16(const char16_t* units, std::size_t count)
{
    return RecodeUnits<wchar_t>(units, count);
}

}  // namespace Quillet
