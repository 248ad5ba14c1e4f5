// Page checks: the structure of a page file, read once from its start, and
// the page sizes and resolutions that can be rendered at all.
//
// A page file is written in a folder that the job itself may write to, so
// its bytes are the job's to choose until they are checked: a host that
// decodes a page must only ever get a well-formed image of the format and
// size its run asked for.
#include "engine/PageCheck.h"

#include "engine/OutputFormats.h"
#include "platform/FileHandle.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace Quillet {

namespace {

/// Reads one page file: in large pieces from its start, or at given offsets.
class PageReader {
public:
    explicit PageReader(const std::wstring& path) : file(Platform::OpenRegularFile(path, length)) {}

    bool IsOpen() const { return file.IsValid(); }
    std::uint64_t Length() const { return length; }
    std::uint64_t Offset() const { return start + pos; }

    /// The next byte, or -1 at the end.
    int Byte()
    {
        if (pos == size && !Fill())
            return -1;
        return buffer[pos++];
    }

    /// Moves past the next 0xFF byte; false at the end.
    bool SkipPastFF()
    {
        for (;;) {
            if (pos == size && !Fill())
                return false;
            const void* found = std::memchr(buffer.data() + pos, 0xFF, size - pos);
            if (found != nullptr) {
                pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - buffer.data()) + 1;
                return true;
            }
            pos = size;
        }
    }

    /// The next n bytes into out (or past them, with out null), adding them
    /// to crc when given; false when the file ends first.
    bool Take(std::uint64_t n, std::uint8_t* out, uLong* crc = nullptr)
    {
        while (n > 0) {
            if (pos == size && !Fill())
                return false;
            const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - pos));
            if (out != nullptr) {
                std::memcpy(out, buffer.data() + pos, part);
                out += part;
            }
            if (crc != nullptr)
                *crc = crc32(*crc, buffer.data() + pos, static_cast<uInt>(part));
            pos += part;
            n -= part;
        }
        return true;
    }

    /// Exactly n bytes at offset; false when the file is shorter.
    bool TakeAt(std::uint64_t offset, std::uint8_t* out, std::size_t n)
    {
        if (offset > length || n > length - offset)
            return false;
        while (n > 0) {
            std::size_t count = 0;
            if (!Platform::ReadAt(file.Get(), offset, out, n, count) || count == 0)
                return false;
            offset += count;
            out += count;
            n -= count;
        }
        return true;
    }

private:
    bool Fill()
    {
        start += size;
        pos = 0;
        if (!Platform::ReadAt(file.Get(), start, buffer.data(), buffer.size(), size))
            size = 0;
        return size > 0;
    }

    std::uint64_t length = 0;  // before file: set while file is opened
    Platform::UniqueHandle file;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(1 << 16);
    std::uint64_t start = 0;  // file offset of buffer[0]
    std::size_t pos = 0;
    std::size_t size = 0;
};

std::uint32_t Be32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint32_t Be16(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 8 | p[1];
}

std::uint32_t Le32(const std::uint8_t* p)
{
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

std::uint32_t Le16(const std::uint8_t* p)
{
    return std::uint32_t{p[1]} << 8 | p[0];
}

/// What the run asked of its pages.
struct Expected {
    std::int64_t width = 0;  // 0: any
    std::int64_t height = 0;
    std::int64_t maxPixels = 0;  // 0: any
    /// Set by the check of an image larger than maxPixels, which the format's
    /// check then reports as Broken.
    mutable bool tooLarge = false;
    /// Set by a size that passed: the image is wider than tall.
    mutable bool landscape = false;
    /// The size the image's header gives, once read.
    mutable std::int64_t seenWidth = 0;
    mutable std::int64_t seenHeight = 0;
};

/// Records why and returns Broken.
PageFileState Broken(std::string& why, const std::string& text)
{
    why = text;
    return PageFileState::Broken;
}

/// A file that ends too early: the mark of a writer that did not finish.
PageFileState CutShort(std::string& why)
{
    why = "it is cut short";
    return PageFileState::CutShort;
}

/// Checks an image's size against what the run asked for.
bool SizeMatches(const Expected& expected, std::int64_t width, std::int64_t height, std::string& why)
{
    expected.seenWidth = width;
    expected.seenHeight = height;
    if (width < 1 || height < 1) {
        why = "it has no pixels";
        return false;
    }
    if (expected.width > 0 && (width != expected.width || height != expected.height)) {
        why = "it is " + std::to_string(width) + "x" + std::to_string(height) + " pixels, not " +
              std::to_string(expected.width) + "x" + std::to_string(expected.height);
        return false;
    }
    if (expected.maxPixels > 0 && width * height > expected.maxPixels) {
        why = std::to_string(width) + "x" + std::to_string(height) + " pixels";
        expected.tooLarge = true;
        return false;
    }
    expected.landscape = width > height;
    return true;
}

PageFileState CheckPng(PageReader& reader, const OutputFormat& format, const Expected& expected, std::string& why)
{
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    // The PNG colour type of the format's colours, all at 8 bits a sample.
    const std::uint8_t colourType = format.colours == ColourType::Rgb    ? 2
                                    : format.colours == ColourType::Rgba ? 6
                                    : format.colours == ColourType::Grey ? 0
                                                                         : 3;
    std::uint8_t bytes[13];
    if (!reader.Take(8, bytes))
        return CutShort(why);
    if (std::memcmp(bytes, kSignature, 8) != 0)
        return Broken(why, "it has no PNG signature");
    bool first = true;
    bool imageData = false;
    for (;;) {
        std::uint8_t head[8];
        if (!reader.Take(8, head))
            return CutShort(why);
        const std::uint32_t length = Be32(head);
        if (length > 0x7FFFFFFFU)
            return Broken(why, "a chunk's length is out of range");
        const bool header = std::memcmp(head + 4, "IHDR", 4) == 0;
        const bool end = std::memcmp(head + 4, "IEND", 4) == 0;
        if (first != header || (header && length != 13))
            return Broken(why, "it does not begin with its header chunk");
        uLong crc = crc32(0, head + 4, 4);
        if (!reader.Take(length, header ? bytes : nullptr, &crc))
            return CutShort(why);
        std::uint8_t stored[4];
        if (!reader.Take(4, stored))
            return CutShort(why);
        if (Be32(stored) != crc)
            return Broken(why, "a chunk's CRC is wrong");
        if (header) {
            if (bytes[8] != 8 || bytes[9] != colourType || bytes[10] != 0 || bytes[11] != 0 || bytes[12] > 1)
                return Broken(why, "it is not a PNG image of its format's colours");
            if (!SizeMatches(expected, Be32(bytes), Be32(bytes + 4), why))
                return PageFileState::Broken;
        }
        imageData = imageData || std::memcmp(head + 4, "IDAT", 4) == 0;
        first = false;
        if (end) {
            if (length != 0 || !imageData)
                return Broken(why, "it has no image data");
            return reader.Offset() == reader.Length() ? PageFileState::Whole
                                                      : Broken(why, "bytes follow its end chunk");
        }
    }
}

PageFileState CheckJpeg(PageReader& reader, const OutputFormat& format, const Expected& expected, std::string& why)
{
    const int components = format.colours == ColourType::Grey ? 1 : 3;
    const int first = reader.Byte();
    const int second = reader.Byte();
    if (second < 0)
        return CutShort(why);
    if (first != 0xFF || second != 0xD8)
        return Broken(why, "it has no JPEG start marker");
    bool frame = false;
    bool scan = false;
    int marker = -1;  // a marker met inside entropy-coded data
    for (;;) {
        if (marker < 0) {
            const int byte = reader.Byte();
            if (byte < 0)
                return CutShort(why);
            if (byte != 0xFF)
                return Broken(why, "a segment is not where its predecessor's length says");
            do
                marker = reader.Byte();
            while (marker == 0xFF);
        }
        if (marker < 0)
            return CutShort(why);
        const int m = marker;
        marker = -1;
        if (m == 0xD9) {
            if (!scan)
                return Broken(why, "it has no image data");
            return reader.Offset() == reader.Length() ? PageFileState::Whole
                                                      : Broken(why, "bytes follow its end marker");
        }
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7))
            continue;  // markers without a segment
        std::uint8_t length[2];
        if (!reader.Take(2, length) || Be16(length) < 2)
            return CutShort(why);
        const std::uint32_t body = Be16(length) - 2;
        const bool startOfFrame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (startOfFrame) {
            std::uint8_t head[6];
            if (body < 6 || !reader.Take(6, head) || !reader.Take(body - 6, nullptr))
                return CutShort(why);
            if (head[0] != 8 || head[5] != components)
                return Broken(why, "it is not a JPEG image of its format's colours");
            if (!SizeMatches(expected, Be16(head + 3), Be16(head + 1), why))
                return PageFileState::Broken;
            frame = true;
        } else if (!reader.Take(body, nullptr)) {
            return CutShort(why);
        }
        if (m != 0xDA)
            continue;
        if (!frame)
            return Broken(why, "its image data comes before its frame header");
        scan = true;
        // Entropy-coded data up to the next marker: 0xFF is followed by 0
        // (a stuffed byte), a restart marker, or the marker that ends it.
        while (marker < 0) {
            if (!reader.SkipPastFF())
                return CutShort(why);
            int next = reader.Byte();
            while (next == 0xFF)
                next = reader.Byte();
            if (next < 0)
                return CutShort(why);
            if (next != 0 && (next < 0xD0 || next > 0xD7))
                marker = next;
        }
    }
}

PageFileState CheckBmp(PageReader& reader, const OutputFormat& format, const Expected& expected, std::string& why)
{
    std::uint8_t h[54];
    if (!reader.TakeAt(0, h, sizeof h))
        return CutShort(why);
    if (h[0] != 'B' || h[1] != 'M')
        return Broken(why, "it has no BMP header");
    const std::uint64_t dataOffset = Le32(h + 10);
    const std::uint32_t headerSize = Le32(h + 14);
    const auto width = static_cast<std::int32_t>(Le32(h + 18));
    const auto height = static_cast<std::int32_t>(Le32(h + 22));  // negative: rows top down
    const std::uint32_t bits = Le16(h + 28);
    const std::uint32_t compression = Le32(h + 30);
    if (headerSize < 40 || Le16(h + 26) != 1 || bits != static_cast<std::uint32_t>(format.bytesPerPixel * 8) ||
        (compression != 0 && compression != 3))
        return Broken(why, "it is not a BMP image of its format's colours");
    const std::int64_t rows = std::abs(static_cast<std::int64_t>(height));
    if (!SizeMatches(expected, width, rows, why))
        return PageFileState::Broken;
    // Its length follows from its rows; the header states it modulo 2^32,
    // so that a page over 4 GiB is told by its rows, not by the header.
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
    const std::uint64_t length = dataOffset + rowBytes * static_cast<std::uint64_t>(rows);
    if (dataOffset < 14 + std::uint64_t{headerSize} || length != reader.Length() ||
        Le32(h + 2) != static_cast<std::uint32_t>(length))
        return reader.Length() < length ? CutShort(why) : Broken(why, "its length does not match its rows");
    return PageFileState::Whole;
}

/// Reads TIFF numbers in the file's byte order.
struct TiffOrder {
    bool big;
    std::uint32_t U16(const std::uint8_t* p) const { return big ? Be16(p) : Le16(p); }
    std::uint32_t U32(const std::uint8_t* p) const { return big ? Be32(p) : Le32(p); }
};

/// One directory entry: its type, count and the four bytes of value or offset.
struct TiffEntry {
    std::uint32_t type = 0;
    std::uint32_t count = 0;
    std::uint8_t value[4] = {};
};

/// The count values of entry (types SHORT and LONG only): Whole, Broken when
/// they are missing or of another type, CutShort when they lie past the end.
PageFileState TiffValues(PageReader& reader, const TiffOrder& order, const TiffEntry& entry,
                         std::vector<std::uint64_t>& values)
{
    const std::uint32_t size = entry.type == 3 ? 2 : entry.type == 4 ? 4 : 0;
    if (size == 0 || entry.count == 0 || entry.count > (1U << 24))
        return PageFileState::Broken;
    std::vector<std::uint8_t> bytes(std::size_t{entry.count} * size);
    if (bytes.size() <= 4)
        std::memcpy(bytes.data(), entry.value, bytes.size());
    else if (!reader.TakeAt(order.U32(entry.value), bytes.data(), bytes.size()))
        return PageFileState::CutShort;
    values.resize(entry.count);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = size == 2 ? order.U16(&bytes[i * 2]) : order.U32(&bytes[i * 4]);
    return PageFileState::Whole;
}

PageFileState CheckTiff(PageReader& reader, const OutputFormat& format, const Expected& expected, std::string& why)
{
    std::uint8_t h[8];
    if (!reader.TakeAt(0, h, sizeof h))
        return CutShort(why);
    if (!((h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) ||
          (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42)))
        return Broken(why, "it has no TIFF header");
    const TiffOrder order{h[0] == 'M'};
    // The directory is written last, and the header points to it once it is.
    const std::uint64_t directory = order.U32(h + 4);
    std::uint8_t countBytes[2];
    if (directory == 0 || !reader.TakeAt(directory, countBytes, 2))
        return CutShort(why);
    const std::uint32_t count = order.U16(countBytes);
    std::vector<std::uint8_t> entries(std::size_t{count} * 12);
    if (directory < 8 || count == 0)
        return Broken(why, "its directory is out of place");
    if (!reader.TakeAt(directory + 2, entries.data(), entries.size()))
        return CutShort(why);
    // Width, length, bits a sample, compression, strip offsets, samples a
    // pixel, strip byte counts.
    const std::uint32_t kTags[] = {256, 257, 258, 259, 273, 277, 279};
    TiffEntry found[7];
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* e = &entries[std::size_t{i} * 12];
        for (std::size_t t = 0; t < 7; ++t) {
            if (order.U16(e) == kTags[t]) {
                found[t].type = order.U16(e + 2);
                found[t].count = order.U32(e + 4);
                std::memcpy(found[t].value, e + 8, 4);
            }
        }
    }
    std::vector<std::uint64_t> values[7];
    for (std::size_t t = 0; t < 7; ++t) {
        const PageFileState state = TiffValues(reader, order, found[t], values[t]);
        if (state == PageFileState::CutShort)
            return CutShort(why);
        if (state != PageFileState::Whole)
            values[t].assign(t == 2 || t == 5 ? 1 : 0, 1);  // bits and samples default to 1
    }
    const auto& [width, height, bits, compression, offsets, samples, counts] = values;
    if (width.empty() || height.empty() || compression.empty() || offsets.empty() ||
        offsets.size() != counts.size())
        return Broken(why, "its directory lacks the size or the strips of the image");
    // CMYK: 4 samples of 8 bits, uncompressed; RGB: 3 of 8 bits, LZW;
    // bilevel: 1 bit, fax coded.
    const bool uncompressed = format.colours == ColourType::Cmyk;
    const bool rgb = format.colours == ColourType::Rgb;
    if (compression[0] != (uncompressed ? 1U : rgb ? 5U : 3U) || samples[0] != (uncompressed ? 4U : rgb ? 3U : 1U) ||
        bits[0] != (uncompressed || rgb ? 8U : 1U))
        return Broken(why, "it is not a TIFF image of its format's colours");
    if (!SizeMatches(expected, static_cast<std::int64_t>(width[0]), static_cast<std::int64_t>(height[0]), why))
        return PageFileState::Broken;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] > reader.Length() || counts[i] > reader.Length() - offsets[i])
            return CutShort(why);
        total += counts[i];
    }
    if (uncompressed && total != width[0] * 4 * height[0])
        return Broken(why, "its strips do not hold its rows");
    return PageFileState::Whole;
}

// Ghostscript's device coordinates: 2^23 - 1 pixels a side.
constexpr std::int64_t kCoordinateRange = 8388607;
// One page's raster beyond this is no page a run can write.
constexpr double kMaxRasterBytes = 1099511627776.0;  // 1 TiB
// Without a page size a job gets A4 or Letter: the longer of each side.
constexpr double kDefaultPageInches[2] = {8.5, 11.69};

/// The largest side an image in container may have, and what sets it.
struct SideLimit {
    std::int64_t side;
    const char* what;
};

SideLimit LimitOf(Container container)
{
    switch (container) {
    case Container::Png:
        return {1000000, "the largest PNG image"};  // the PNG library's bound
    case Container::Jpeg:
        return {65500, "the largest JPEG image"};
    default:
        return {kCoordinateRange, "Ghostscript's coordinate range"};
    }
}

std::string SizeText(std::int64_t width, std::int64_t height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

bool HasPageCheck(RIPFormat format)
{
    // A single file is no page: it grows until the job's end.
    const OutputFormat& entry = FormatOf(format);
    return !entry.singleFile && entry.container != Container::Pcl && entry.container != Container::PostScript;
}

namespace {

PageFileState CheckPage(const std::wstring& path, RIPFormat format, const Expected& expected, std::string& why)
{
    if (!HasPageCheck(format))
        return PageFileState::Unknown;
    const OutputFormat& entry = FormatOf(format);
    PageReader reader(path);
    if (!reader.IsOpen())
        return Broken(why, "it is no regular file");
    PageFileState state;
    if (entry.container == Container::Png)
        state = CheckPng(reader, entry, expected, why);
    else if (entry.container == Container::Jpeg)
        state = CheckJpeg(reader, entry, expected, why);
    else if (entry.container == Container::Bmp)
        state = CheckBmp(reader, entry, expected, why);
    else
        state = CheckTiff(reader, entry, expected, why);
    return expected.tooLarge ? PageFileState::TooLarge : state;
}

}  // namespace

PageFileState CheckPageFile(const std::wstring& path, RIPFormat format, std::int32_t width, std::int32_t height,
                            std::string* why, std::int64_t maxPixels, bool* landscape)
{
    std::string reason;
    Expected expected;
    if (width >= 1 && height >= 1) {
        expected.width = width;
        expected.height = height;
    }
    expected.maxPixels = maxPixels;
    const PageFileState state = CheckPage(path, format, expected, why != nullptr ? *why : reason);
    if (landscape != nullptr)
        *landscape = expected.landscape;
    return state;
}

bool PageFileSize(const std::wstring& path, RIPFormat format, std::int32_t& width, std::int32_t& height)
{
    std::string why;
    Expected expected;
    width = height = 0;
    constexpr std::int64_t kLargest = std::numeric_limits<std::int32_t>::max();
    if (CheckPage(path, format, expected, why) != PageFileState::Whole || expected.seenWidth > kLargest ||
        expected.seenHeight > kLargest)
        return false;
    width = static_cast<std::int32_t>(expected.seenWidth);
    height = static_cast<std::int32_t>(expected.seenHeight);
    return true;
}

std::string PixelCountText(std::int64_t pixels)
{
    constexpr std::int64_t kMillion = 1000000;
    return pixels % kMillion == 0 ? std::to_string(pixels / kMillion) + " million" : std::to_string(pixels);
}

bool CheckPageGeometry(RIPFormat format, std::int32_t width, std::int32_t height, std::int32_t resolution,
                       std::string& why, std::int64_t maxPixels)
{
    const bool sized = width >= 1 && height >= 1;
    if (!sized && resolution < 1)
        return true;
    std::int64_t w = width;
    std::int64_t h = height;
    std::string what = "the page size " + SizeText(w, h);
    std::string page = "it";
    if (!sized) {
        w = static_cast<std::int64_t>(std::ceil(kDefaultPageInches[0] * resolution));
        h = static_cast<std::int64_t>(std::ceil(kDefaultPageInches[1] * resolution));
        what = "the resolution " + std::to_string(resolution) + " dpi";
        page = "an A4 or Letter page at it, " + SizeText(w, h) + " pixels,";
    }
    const OutputFormat& entry = FormatOf(format);
    const SideLimit limit = LimitOf(entry.container);
    const std::int64_t side = std::min(limit.side, kCoordinateRange);
    if (w > side || h > side) {
        why = what + " cannot be rendered: " + page + " goes beyond " +
              (side == limit.side ? limit.what : "Ghostscript's coordinate range") + " (" + std::to_string(side) +
              " pixels a side)";
        return false;
    }
    const double raster = static_cast<double>(w) * static_cast<double>(h) * entry.bytesPerPixel;
    if (raster > kMaxRasterBytes) {
        char amount[32];
        std::snprintf(amount, sizeof amount, "%.1f", raster / kMaxRasterBytes);
        why = what + " cannot be rendered: " + page + " holds " + amount + " TiB of pixels, more than 1 TiB";
        return false;
    }
    if (maxPixels > 0 && w * h > maxPixels) {
        why = what + " cannot be rendered: " + (sized ? "it holds " + std::to_string(w * h) + " pixels," : page + " holds") +
              " more than the bound of " + PixelCountText(maxPixels) + " pixels a page";
        return false;
    }
    return true;
}

}  // namespace Quillet
