// What quillet-rip reads in files itself: a document's kind by its first
// bytes, and a page image's size in pixels by its header.
#pragma once

#include <string>

namespace Rip {

/// The extension that names a document with these first bytes (up to 64 KiB)
/// as the library reads it: "pdf", "ps", "eps", an office extension ("docx",
/// "odt", "doc", "rtf", ...), a picture's ("png", "jpg", "tiff", "gif",
/// "svg"), or empty when the bytes say nothing we know.
std::string ExtensionByContent(const std::string& head);

/// True when extension (lower case) names a document of the office process
/// (an office document or a picture).
bool IsOfficeExtension(const std::string& extension);

/// Width and height of a PNG, JPEG, BMP or TIFF file; false for another file.
bool ImageSize(const std::string& path, long& width, long& height);

}  // namespace Rip
