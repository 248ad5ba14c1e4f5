// Output formats and page names: the device and extension of each format, the
// output folder, the page-file pattern, and FormatString.
#include "engine/OutputFormats.h"

#include "engine/RIPEngine.h"
#include "platform/FileHandle.h"
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

PageFileState CheckPageFile(const std::wstring& path, RIPFormat format)
{
    const std::wstring extension = GetFileExtension(format);
    std::string head;
    std::string tail;
    if (extension == L"png") {
        head.resize(8);
        tail.resize(12);
    } else if (extension == L"jpeg") {
        head.resize(2);
        tail.resize(2);
    } else if (extension == L"bmp") {
        head.resize(6);
    } else {
        return PageFileState::Unknown;
    }
    std::uint64_t length = 0;
    if (!Platform::ReadFileEnds(path, head, tail, length))
        return PageFileState::Broken;
    bool whole = false;
    if (extension == L"png") {
        static const char kSignature[] = "\x89PNG\r\n\x1a\n";
        static const char kEnd[] = "\0\0\0\0IEND\xae\x42\x60\x82";
        whole = head == std::string(kSignature, 8) && tail == std::string(kEnd, 12);
    } else if (extension == L"jpeg") {
        whole = head == "\xff\xd8" && tail == "\xff\xd9";
    } else {
        const auto byte = [&](std::size_t i) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(head[i]));
        };
        const std::uint32_t stated = byte(2) | byte(3) << 8 | byte(4) << 16 | byte(5) << 24;
        whole = head[0] == 'B' && head[1] == 'M' && stated == length;
    }
    return whole ? PageFileState::Whole : PageFileState::Broken;
}

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
    if (folder.empty()) {
        ZBaseStorage::TempDirPath(folder);  // ends in the delimiter
        folder += L"images";
        folder += ZBaseStorage::kZPathDelimStr;
    } else {
        AppendPathDelimiter(folder);
    }
    return folder;
}

std::wstring RIPEngine::GetPagePattern()
{
    if (pagePattern.empty())
        BuildPagePattern();
    return pagePattern;
}

std::wstring RIPEngine::NewPagePattern()
{
    // A fresh prefix per run: files an earlier run left in the folder can
    // never be taken for this run's pages, whatever the host did in between.
    BuildPagePattern();
    return pagePattern;
}

void RIPEngine::BuildPagePattern()
{
    // Both Ghostscript and FormatString read the pattern as a format: a "%" in
    // the folder or prefix is doubled so that it names itself.
    // The folder is fixed by the first pattern, as the names are.
    if (pageDirectory.empty())
        pageDirectory = GetOutputDirectory();
    const std::wstring& directory = pageDirectory;
    pagePattern = EscapePercent(directory) +
                  EscapePercent(ZUtilities::GetUniqueFilePrefix(directory)) + L"_%03d." +
                  GetOutputExtension();
}

}  // namespace Quillet
