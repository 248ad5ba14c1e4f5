// Conversions between wide strings (UTF-32 on Linux) and UTF-8 / UTF-16.
// OS-neutral: the one place where text changes its encoding.
#include "platform/TextConversion.h"

#include <cstdint>

namespace Quillet {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalarValue(std::uint32_t c)
{
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
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

std::string ToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        // wchar_t is signed on Linux: a negative value is no scalar value either.
        auto c = static_cast<std::uint32_t>(w);
        AppendUtf8(out, IsScalarValue(c) ? c : kReplacement);
    }
    return out;
}

std::wstring FromUtf8(const std::string& bytes)
{
    std::wstring out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
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
            out.push_back(static_cast<wchar_t>(kReplacement));
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
        out.push_back(static_cast<wchar_t>(used == length ? c : kReplacement));
        i += used;
    }
    return out;
}

std::u16string ToUtf16(const std::wstring& text)
{
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        auto c = static_cast<std::uint32_t>(w);
        if (!IsScalarValue(c))
            c = kReplacement;
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        }
    }
    return out;
}

std::wstring FromUtf16(const char16_t* units, std::size_t count)
{
    std::wstring out;
    if (units == nullptr)
        return out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            const std::uint32_t c = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            out.push_back(static_cast<wchar_t>(c));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out.push_back(static_cast<wchar_t>(kReplacement));
        } else {
            out.push_back(static_cast<wchar_t>(u));
        }
    }
    return out;
}

}  // namespace Quillet
