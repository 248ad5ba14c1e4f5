// Text helpers of quillet-rip: UTF-8 both ways, terminal-safe text, JSON strings.
#include "Text.h"

#include <cstdint>
#include <cstdio>

namespace Rip {

/// UTF-8 to a wide string; false when the bytes are not well-formed UTF-8.
bool DecodeUtf8(const std::string& bytes, std::wstring& out)
{
    out.clear();
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        std::uint32_t value;
        std::size_t length;
        if (lead < 0x80) {
            value = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            value = lead & 0x1F;
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            value = lead & 0x0F;
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            value = lead & 0x07;
            length = 4;
        } else {
            return false;
        }
        if (i + length > bytes.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF.
        if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) ||
            (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
            return false;
        // A 16-bit wchar_t (Windows) holds a character beyond U+FFFF as a
        // surrogate pair.
        if (sizeof(wchar_t) == 2 && value > 0xFFFF) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((value - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(value));
        }
        i += length;
    }
    return true;
}

/// A wide string as UTF-8 for printing; values that are no characters print as U+FFFD.
std::string EncodeUtf8(const std::wstring& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t value = static_cast<std::uint32_t>(text[i]);
        // A surrogate pair of a 16-bit wchar_t is one character.
        if (sizeof(wchar_t) == 2 && value >= 0xD800 && value <= 0xDBFF && i + 1 < text.size()) {
            const std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                value = 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
            value = 0xFFFD;
        if (value < 0x80) {
            out.push_back(static_cast<char>(value));
        } else if (value < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (value >> 6)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else if (value < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (value >> 12)));
            out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (value >> 18)));
            out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        }
    }
    return out;
}

/// text for a terminal: control characters (with which a job's text could
/// move the cursor, set the window title or clear the screen) become U+FFFD;
/// keepLines keeps the line ends of a report.
std::string Printable(const std::string& text, bool keepLines)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // C1 controls arrive as UTF-8 (0xC2 0x80 to 0xC2 0x9F).
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if ((c < 0x20 && !(keepLines && c == '\n')) || c == 0x7F || c1) {
            out += "\xEF\xBF\xBD";
            i += c1 ? 1 : 0;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string JsonString(const std::string& text)
{
    std::wstring wide;
    if (!DecodeUtf8(text, wide)) {
        // One U+FFFD for each byte that breaks the encoding.
        std::string repaired;
        for (std::size_t i = 0; i < text.size();) {
            std::size_t length = 1;
            while (length <= 4 && i + length <= text.size() && !DecodeUtf8(text.substr(i, length), wide))
                ++length;
            if (length > 4 || i + length > text.size()) {
                repaired += "\xEF\xBF\xBD";
                ++i;
            } else {
                repaired += text.substr(i, length);
                i += length;
            }
        }
        return JsonString(repaired);
    }
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Plural(long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace Rip
