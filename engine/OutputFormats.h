// Output formats: one table of what each RIPFormat is (its Ghostscript
// device, page-file extension, container, colours, raster bytes, whether it
// writes one file), and FormatString, the printf-style formatter into a wide
// string.
#pragma once

#include <quillet/IRIPBase.h>

#include <string>

namespace Quillet {

/// The kind of file a format's output is written as.
enum class Container { Bmp, Png, Jpeg, Tiff, Pcl, PostScript };

/// The colours of a format's pixels, as its container records them.
enum class ColourType {
    Grey,     ///< one 8-bit sample
    Palette,  ///< one 8-bit index into a palette
    Rgb,      ///< three 8-bit samples
    Rgba,     ///< three 8-bit colour samples and alpha
    Cmyk,     ///< four 8-bit samples
    Bilevel,  ///< one bit, fax coded
    None,     ///< no pixels: a page description
};

/// What one output format is.
struct OutputFormat {
    RIPFormat format;
    const wchar_t* device;     ///< Ghostscript's -sDEVICE
    const wchar_t* extension;  ///< of its files, without the dot
    Container container;
    ColourType colours;
    double bytesPerPixel;  ///< of the raster Ghostscript renders; 0: none
    bool singleFile;       ///< the whole job goes into one file, not one a page
};

/// The entry of format; a value outside the RIPFormat list gets RIP_BMP32B's.
const OutputFormat& FormatOf(RIPFormat format);

/// Formats like the C library's wide printf family into out (wide strings are
/// given with %ls). out holds exactly the formatted text; it is empty when the
/// result is empty or cannot be formatted.
void FormatString(std::wstring& out, const wchar_t* format, ...);

/// Doubles every "%" of text, so that it stands for itself in a format string.
std::wstring EscapePercent(const std::wstring& text);

}  // namespace Quillet
