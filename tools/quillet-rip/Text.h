// Text helpers of quillet-rip: UTF-8 both ways, text made safe for a terminal,
// JSON strings.
#pragma once

#include <string>

namespace Rip {

/// UTF-8 to a wide string; false when the bytes are not well-formed UTF-8.
bool DecodeUtf8(const std::string& bytes, std::wstring& out);
/// A wide string as UTF-8; values that are no characters become U+FFFD.
std::string EncodeUtf8(const std::wstring& text);
/// text for a terminal: control characters (with which a job's text could
/// move the cursor, set the window title or clear the screen) become U+FFFD;
/// keepLines keeps the line ends of a report.
std::string Printable(const std::string& text, bool keepLines = false);
/// text as a quoted JSON string; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
/// "1 page", "7 pages".
std::string Plural(long n, const char* one, const char* many);

}  // namespace Rip
