// AppendPathDelimiter and FileStem: the path functions that several subsystems share.
#pragma once

#include <string>

namespace Quillet {

/// Appends the path delimiter unless path is empty or already ends in "/" or "\".
void AppendPathDelimiter(std::wstring& path);

/// The file name without its folder (cut after the last ":", "/" or "\") and
/// without an extension of at most four characters after the last ".".
std::wstring FileStem(const std::wstring& path);

}  // namespace Quillet
