// A document's kind by its first bytes, a page image's size by its header.
#include "Content.h"

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <fstream>

namespace Rip {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

/// The office extension of a ZIP container by the names of its parts.
std::string ZipExtension(const std::string& head)
{
    // An OpenDocument file stores its type first, uncompressed.
    static const char* const kOpenDocument[][2] = {
        {"opendocument.text", "odt"},         {"opendocument.spreadsheet", "ods"},
        {"opendocument.presentation", "odp"}, {"opendocument.graphics", "odg"},
    };
    if (head.size() > 38 && head.compare(30, 8, "mimetype") == 0)
        for (const auto& kind : kOpenDocument)
            if (head.find(kind[0], 38) < 120)
                return kind[1];
    // The first part named for one of the kinds decides.
    static const char* const kParts[][2] = {{"word/", "docx"}, {"xl/", "xlsx"}, {"ppt/", "pptx"}};
    std::size_t first = std::string::npos;
    std::string extension;
    for (const auto& part : kParts)
        if (head.find(part[0]) < first) {
            first = head.find(part[0]);
            extension = part[1];
        }
    return extension;
}

std::uint32_t Big(const std::string& b, std::size_t at, int bytes)
{
    std::uint32_t value = 0;
    for (int k = 0; k < bytes; ++k)
        value = (value << 8) | static_cast<unsigned char>(b[at + k]);
    return value;
}

std::uint32_t Little(const std::string& b, std::size_t at, int bytes)
{
    std::uint32_t value = 0;
    for (int k = bytes - 1; k >= 0; --k)
        value = (value << 8) | static_cast<unsigned char>(b[at + k]);
    return value;
}

}  // namespace

std::string ExtensionByContent(const std::string& head)
{
    if (StartsWith(head, "\xC5\xD0\xD3\xC6"))
        return "eps";
    // A PostScript job may begin with a Ctrl-D, as printer drivers write it.
    const std::string text = StartsWith(head, "\x04") ? head.substr(1) : head;
    if (StartsWith(text, "%!")) {
        const std::string firstLine = text.substr(0, text.find_first_of("\r\n"));
        return firstLine.find(" EPSF-") != std::string::npos ? "eps" : "ps";
    }
    // PDF allows bytes before its header; readers look 1 KiB far.
    if (head.substr(0, 1024).find("%PDF-") != std::string::npos)
        return "pdf";
    if (StartsWith(head, "PK\x03\x04"))
        return ZipExtension(head);
    if (StartsWith(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"))
        return "doc";  // the office suite tells its kinds apart by content
    if (StartsWith(head, "{\\rtf"))
        return "rtf";
    if (StartsWith(head, "<?xml") && head.find("office:document") != std::string::npos) {
        if (head.find("opendocument.text") != std::string::npos)
            return "fodt";
        if (head.find("opendocument.spreadsheet") != std::string::npos)
            return "fods";
        if (head.find("opendocument.presentation") != std::string::npos)
            return "fodp";
    }
    // Pictures, which the office process lays out on a page of their size.
    if (StartsWith(head, "\x89PNG\r\n\x1A\n"))
        return "png";
    if (StartsWith(head, "\xFF\xD8\xFF"))
        return "jpg";
    if (StartsWith(head, std::string("II*\0", 4)) || StartsWith(head, std::string("MM\0*", 4)))
        return "tiff";
    if (StartsWith(head, "GIF87a") || StartsWith(head, "GIF89a"))
        return "gif";
    if ((StartsWith(head, "<?xml") || StartsWith(head, "<svg")) && head.find("<svg") != std::string::npos)
        return "svg";
    return std::string();
}

bool IsOfficeExtension(const std::string& extension)
{
    static const char* const kOffice[] = {
        "doc", "docx", "docm", "dot", "dotx", "odt", "ott", "fodt", "rtf", "wpd",  "xls",  "xlsx", "xlsm", "ods",
        "ots", "fods", "ppt",  "pptx", "pps", "ppsx", "odp", "otp", "fodp", "odg", "otg", "vsd",  "vsdx", "pub",
        "txt", "csv",  "html", "htm", "png", "jpg",  "jpeg", "tif", "tiff", "gif", "svg",
    };
    return std::find(std::begin(kOffice), std::end(kOffice), extension) != std::end(kOffice);
}

bool ImageSize(const std::string& path, long& width, long& height)
{
    std::ifstream in(path, std::ios::binary);
    std::string b(65536, '\0');
    in.read(&b[0], static_cast<std::streamsize>(b.size()));
    b.resize(static_cast<std::size_t>(in.gcount()));
    if (b.size() >= 24 && StartsWith(b, "\x89PNG\r\n\x1A\n")) {
        width = static_cast<long>(Big(b, 16, 4));
        height = static_cast<long>(Big(b, 20, 4));
        return true;
    }
    if (b.size() >= 26 && StartsWith(b, "BM")) {
        width = static_cast<long>(static_cast<std::int32_t>(Little(b, 18, 4)));
        height = std::labs(static_cast<long>(static_cast<std::int32_t>(Little(b, 22, 4))));
        return true;
    }
    if (StartsWith(b, "\xFF\xD8")) {
        // The frame header (SOF0 to SOF15 but DHT, JPG and DAC) holds the size.
        for (std::size_t at = 2; at + 9 < b.size() && static_cast<unsigned char>(b[at]) == 0xFF;) {
            const unsigned marker = static_cast<unsigned char>(b[at + 1]);
            if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
                height = static_cast<long>(Big(b, at + 5, 2));
                width = static_cast<long>(Big(b, at + 7, 2));
                return true;
            }
            at += 2 + Big(b, at + 2, 2);
        }
        return false;
    }
    const bool little = StartsWith(b, "II*");
    if ((little || StartsWith(b, std::string("MM\0*", 4))) && b.size() >= 8) {
        auto read = [&](std::size_t at, int bytes) { return little ? Little(b, at, bytes) : Big(b, at, bytes); };
        const std::size_t ifd = read(4, 4);
        if (ifd + 2 > b.size())
            return false;
        width = height = 0;
        const std::size_t entries = read(ifd, 2);
        for (std::size_t k = 0; k < entries && ifd + 2 + 12 * (k + 1) <= b.size(); ++k) {
            const std::size_t entry = ifd + 2 + 12 * k;
            const std::uint32_t tag = read(entry, 2);
            const std::uint32_t value = read(entry + 2, 2) == 3 ? read(entry + 8, 2) : read(entry + 8, 4);
            if (tag == 256)
                width = static_cast<long>(value);
            else if (tag == 257)
                height = static_cast<long>(value);
        }
        return width > 0 && height > 0;
    }
    return false;
}

}  // namespace Rip
