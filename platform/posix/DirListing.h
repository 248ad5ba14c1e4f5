// ListAndClose: the names of a folder listing that begin with a prefix, for
// the folder classes of the POSIX platform layer.
#pragma once

#include "platform/TextConversion.h"

#include <dirent.h>
#include <string>
#include <vector>

namespace Quillet::Platform {

/// Appends to names every entry of listing (not "." or "..") whose name
/// begins with prefix, then closes listing. A null listing adds nothing.
inline void ListAndClose(DIR* listing, const std::wstring& prefix, std::vector<std::wstring>& names)
{
    if (listing == nullptr)
        return;
    const std::string start = ToUtf8(prefix);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name.compare(0, start.size(), start) == 0)
            names.push_back(FromUtf8(name));
    }
    ::closedir(listing);
}

}  // namespace Quillet::Platform
