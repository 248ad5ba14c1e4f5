// PclWriter: writes Ghostscript's page raster as a PCL raster job onto a descriptor.
//
// The PCL this writer produces is a small, fixed subset, so that a short decoder can read it back:
//
//   job      ESC E  page*  ESC E
//   page     ESC & l <size> A          paper size code, only when the page matches one:
//                                      1 Executive, 2 Letter, 3 Legal, 6 Ledger, 25 A5, 26 A4, 27 A3
//            ESC & l <0|1> O           orientation: 1 (landscape) when the raster is wider than high
//            ESC * t <dpi> R           raster resolution, the page's resolution rounded to whole dots per inch
//            ESC * r 0 F               raster follows the logical page's orientation
//            ESC * p 0 X  ESC * p 0 Y  cursor to the logical page's origin
//            colour pages: ESC * v 6 W 00 03 08 08 08 08
//                                      configure image data: RGB, direct by pixel, 8 bits per index,
//                                      8 bits per red, green and blue; a row is R G B per pixel
//            grey pages:   ESC * r 1 U single black plane; a row is 1 bit per pixel, most significant bit
//                                      first, 1 = black (8-bit grey is halftoned by an 8x8 ordered dither)
//            ESC * r <width> S  ESC * r <height> T     source raster size in pixels
//            ESC * r 1 A               start raster graphics at the cursor
//            ESC * b <mode> M          compression: 0 (none) or 2 (PackBits run-length), once per page
//            ESC * b <n> W <n bytes>   one per raster row, top to bottom; every row is sent complete
//            ESC * r C                 end raster graphics
//            FF (0x0C)                 eject the page
//
// Each command is written whole (never combined with the next one). Rows are never skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Qvijs {

/// What Ghostscript hands over for one page (from the IJS page header).
struct PageFormat {
    int width = 0;          ///< pixels per row
    int height = 0;         ///< rows
    double xResolution = 0; ///< dots per inch
    double yResolution = 0;
    int channels = 0;       ///< 3 for DeviceRGB, 1 for DeviceGray
    int bitsPerSample = 0;  ///< 8; DeviceGray also 1 (Ghostscript's 1 = white)
    std::string colorSpace; ///< "DeviceRGB" or "DeviceGray"
};

/// Writes one PCL job. Owned by the server's main loop, single-threaded. It does not own the
/// descriptor. Every method throws std::runtime_error when the page format is not supported or the
/// descriptor refuses the data.
class PclWriter {
public:
    enum class Compression { None = 0, PackBits = 2 };

    PclWriter(int fd, Compression compression);
    PclWriter(const PclWriter&) = delete;
    PclWriter& operator=(const PclWriter&) = delete;

    /// Throws when the format is not one this writer can express (see the subset above).
    static void CheckFormat(const PageFormat& format);

    /// Bytes Ghostscript sends per row for this format.
    static size_t RowBytes(const PageFormat& format);

    void BeginJob();
    void BeginPage(const PageFormat& format);
    /// One row of RowBytes(format) bytes, as Ghostscript sent it.
    void WriteRow(const uint8_t* row);
    void EndPage();
    /// Writes the closing reset and flushes everything to the descriptor.
    void EndJob();

    int GetPageCount() const { return pageCount; }

private:
    void Put(const std::string& text);
    void PutCommand(const char* prefix, long value, char terminator);
    void Flush();
    void ConvertGreyRow(const uint8_t* row);
    void EmitRow(const uint8_t* data, size_t size);

    int fd;
    Compression compression;
    PageFormat format;
    int row = 0;
    int pageCount = 0;
    bool inPage = false;
    std::string buffer;
    std::vector<uint8_t> planeRow;
    std::vector<uint8_t> packed;
};

/// PackBits (PCL compression mode 2) of one row, appended to out.
void PackBits(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

}  // namespace Qvijs
