// Output formats (Ghostscript device and page-file extension of each RIPFormat)
// and FormatString, the printf-style formatter into a wide string.
#pragma once

#include <quillet/IRIPBase.h>

#include <string>

namespace Quillet {

/// The Ghostscript device for format; values outside 0 to 11 give "bmp32b".
std::wstring GetDeviceName(RIPFormat format);
/// The page-file extension (no dot) for format; values outside 0 to 11 give "bmp".
std::wstring GetFileExtension(RIPFormat format);
/// True for the formats that write the whole job into one file (10 and 11).
bool IsSingleFileFormat(RIPFormat format);

/// Formats like the C library's wide printf family into out (wide strings are
/// given with %ls). out holds exactly the formatted text; it is empty when the
/// result is empty or cannot be formatted.
void FormatString(std::wstring& out, const wchar_t* format, ...);

/// Doubles every "%" of text, so that it stands for itself in a format string.
std::wstring EscapePercent(const std::wstring& text);

}  // namespace Quillet
