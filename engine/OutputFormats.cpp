// Output formats: the table of formats, and FormatString.
#include "engine/OutputFormats.h"

#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "settings/PathHelpers.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <vector>

namespace Quillet {

namespace {

// Indexed by RIPFormat. "pswrite" was retired from Ghostscript; "ps2write"
// writes the same kind of file. The IJS server is sent RGB rows.
constexpr OutputFormat kFormats[] = {
    {RIP_BMP32B, L"bmp32b", L"bmp", Container::Bmp, ColourType::Cmyk, 4, false},
    {RIP_BMPGRAY, L"bmpgray", L"bmp", Container::Bmp, ColourType::Grey, 1, false},
    {RIP_PNG256, L"png256", L"png", Container::Png, ColourType::Palette, 1, false},
    {RIP_PNGALPHA, L"pngalpha", L"png", Container::Png, ColourType::Rgba, 4, false},
    {RIP_PNGGRAY, L"pnggray", L"png", Container::Png, ColourType::Grey, 1, false},
    {RIP_JPEG, L"jpeg", L"jpeg", Container::Jpeg, ColourType::Rgb, 3, false},
    {RIP_JPEGGRAY, L"jpeggray", L"jpeg", Container::Jpeg, ColourType::Grey, 1, false},
    {RIP_TIFF32NC, L"tiff32nc", L"tiff", Container::Tiff, ColourType::Cmyk, 4, false},
    {RIP_TIFFG32D, L"tiffg32d", L"tiff", Container::Tiff, ColourType::Bilevel, 0.125, false},
    {RIP_PNG16M, L"png16m", L"png", Container::Png, ColourType::Rgb, 3, false},
    {RIP_IJS, L"ijs", L"pcl", Container::Pcl, ColourType::Rgb, 3, true},
    {RIP_PSWRITE, L"ps2write", L"ps", Container::PostScript, ColourType::None, 0, true},
    {RIP_TIFFLZW, L"tiff24nc", L"tiff", Container::Tiff, ColourType::Rgb, 3, false},
    {RIP_TIFFLZW_FILE, L"tiff24nc", L"tiff", Container::Tiff, ColourType::Rgb, 3, true},
};

constexpr std::size_t kFormatCount = sizeof(kFormats) / sizeof(kFormats[0]);

constexpr bool RowsInFormatOrder()
{
    for (std::size_t i = 0; i < kFormatCount; ++i) {
        if (kFormats[i].format != static_cast<RIPFormat>(i))
            return false;
    }
    return true;
}

// RIP_TIFFLZW_FILE is the last RIPFormat: a format added to the list needs its row.
static_assert(kFormatCount == RIP_TIFFLZW_FILE + 1, "one row for each RIPFormat");
static_assert(RowsInFormatOrder(), "the rows follow the RIPFormat list");

// Longest result FormatString builds; anything longer counts as unformattable.
constexpr std::size_t kMaxFormatted = 1u << 20;

}  // namespace

const OutputFormat& FormatOf(RIPFormat format)
{
    // Compared as an unsigned number: negative values fall outside the table.
    const auto index = static_cast<std::uint32_t>(format);
    return index < kFormatCount ? kFormats[index] : kFormats[RIP_BMP32B];
}

void FormatString(std::wstring& out, const wchar_t* format, ...)
{
    out.clear();
    if (format == nullptr)
        return;
    // The wide printf family cannot count without a buffer: the C library
    // reports a buffer too small with a negative result, the MinGW one with
    // the length the text would have (as snprintf does). Either way, grow
    // until the text fits.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        const int written = std::vswprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (written >= 0 && static_cast<std::size_t>(written) < buffer.size()) {
            out.assign(buffer.data(), static_cast<std::size_t>(written));
            return;
        }
        if (buffer.size() >= kMaxFormatted)
            return;  // an encoding error, or absurdly long
        buffer.resize(std::min(kMaxFormatted, std::max(buffer.size() * 2, static_cast<std::size_t>(written) + 1)));
    }
}

std::wstring EscapePercent(const std::wstring& text)
{
    std::wstring result;
    result.reserve(text.size());
    for (wchar_t c : text) {
        result += c;
        if (c == L'%')
            result += L'%';
    }
    return result;
}

}  // namespace Quillet
