// Output formats and page names: the device and extension of each format, the
// output folder, the page-file pattern, and FormatString.
#include "engine/OutputFormats.h"

#include "engine/RIPEngine.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "settings/PathHelpers.h"

#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <vector>

namespace Quillet {

namespace {

struct FormatEntry {
    const wchar_t* device;
    const wchar_t* extension;
};

// Indexed by RIPFormat. "pswrite" was retired from Ghostscript; "ps2write"
// writes the same kind of file.
constexpr FormatEntry kFormats[] = {
    {L"bmp32b", L"bmp"},   {L"bmpgray", L"bmp"},  {L"png256", L"png"},
    {L"pngalpha", L"png"}, {L"pnggray", L"png"},  {L"jpeg", L"jpeg"},
    {L"jpeggray", L"jpeg"}, {L"tiff32nc", L"tiff"}, {L"tiffg32d", L"tiff"},
    {L"png16m", L"png"},   {L"ijs", L"pcl"},      {L"ps2write", L"ps"},
};

const FormatEntry& Lookup(RIPFormat format)
{
    // Compared as an unsigned number: negative values fall outside the table.
    const auto index = static_cast<std::uint32_t>(format);
    if (index >= sizeof(kFormats) / sizeof(kFormats[0]))
        return kFormats[RIP_BMP32B];
    return kFormats[index];
}

// Longest result FormatString builds; anything longer counts as unformattable.
constexpr std::size_t kMaxFormatted = 1u << 20;

}  // namespace

std::wstring GetDeviceName(RIPFormat format)
{
    return Lookup(format).device;
}

std::wstring GetFileExtension(RIPFormat format)
{
    return Lookup(format).extension;
}

bool IsSingleFileFormat(RIPFormat format)
{
    return format == RIP_IJS || format == RIP_PSWRITE;
}

void FormatString(std::wstring& out, const wchar_t* format, ...)
{
    out.clear();
    if (format == nullptr)
        return;
    // The wide printf family cannot count without a buffer: it only reports
    // that the buffer was too small. Grow until the text fits.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        const int written = std::vswprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (written >= 0) {
            out.assign(buffer.data(), static_cast<std::size_t>(written));
            return;
        }
        if (buffer.size() >= kMaxFormatted)
            return;  // an encoding error, or absurdly long
        buffer.resize(buffer.size() * 2);
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

std::wstring RIPEngine::GetOutputDevice() const
{
    return GetDeviceName(GetOutputFormat());
}

std::wstring RIPEngine::GetOutputExtension() const
{
    return GetFileExtension(GetOutputFormat());
}

std::wstring RIPEngine::GetOutputDirectory() const
{
    std::wstring folder = GetOutputFolder();
    if (folder.empty())
        return ZBaseStorage::UserTempDirPath(L"images");  // ends in the delimiter
    // The folder begins Ghostscript's output name, where a leading "|" or
    // "%" would make a pipe or a device of it and a leading "-" a switch:
    // made absolute (or, without a current folder, relative to "."), it
    // begins with neither.
    if (!ZBaseStorage::MakeAbsolute(folder))
        folder = L"./" + folder;
    AppendPathDelimiter(folder);
    return folder;
}

bool RIPEngine::PrepareOutputDirectory(const std::wstring& folder, Platform::HeldFolder& held,
                                       std::string& why) const
{
    // The default folder lies where other users may write: it must be the
    // user's own, or another user could take or plant the pages.
    if (GetOutputFolder().empty() && !ZDirStorage(ZString(folder)).CreateOwn(why)) {
        why = "the default output folder cannot be used: " + why;
        return false;
    }
    // Any folder: whoever else may write in it could replace a page between
    // its check and the host's read.
    if (held.Open(folder, why))
        return true;
    std::wstring name = folder;
    while (name.size() > 1 && name.back() == L'/')
        name.pop_back();
    why = "the output folder " + ToUtf8(name) + " cannot be used: " + why;
    return false;
}

std::wstring RIPEngine::GetPagePattern()
{
    if (pagePattern.empty())
        NewPagePattern();
    return pagePattern;
}

std::wstring RIPEngine::NewPagePattern()
{
    // Each run in the folder and format set at its start, so that the host
    // finds its pages where it said; with a fresh prefix, so that files an
    // earlier run left in the folder are never taken for this run's pages.
    // Both Ghostscript and FormatString read the pattern as a format: a "%"
    // in the folder is doubled so that it names itself.
    pageDirectory = GetOutputDirectory();
    pagePrefix = ZUtilities::GetUniqueFilePrefix(pageDirectory);
    pagePattern = EscapePercent(pageDirectory) + EscapePercent(pagePrefix) + L"_%03d." + GetOutputExtension();
    return pagePattern;
}

}  // namespace Quillet
