// Private folders on POSIX: mkdir with mode 0700, checked with lstat.
#include "platform/PrivateFolder.h"

#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace Quillet::Platform {

std::wstring UserTempFolder()
{
    std::wstring temp;
    if (!ZBaseStorage::TempDirPath(temp))
        return std::wstring();
    const std::string folder = ToUtf8(temp) + "quillet-" + std::to_string(::geteuid());
    ::mkdir(folder.c_str(), 0700);
    // Whoever made it, it must be ours and a folder: a link or another
    // user's folder would hand our files to someone else.
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return std::wstring();
    if ((info.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0)
        return std::wstring();
    return FromUtf8(folder + "/");
}

bool CreatePrivateFolder(const std::wstring& path)
{
    const std::string folder = ToUtf8(path);
    return !folder.empty() && folder.find('\0') == std::string::npos && ::mkdir(folder.c_str(), 0700) == 0;
}

bool RemoveTree(const std::wstring& path)
{
    const std::string folder = ToUtf8(path);
    if (folder.empty() || folder.find('\0') != std::string::npos)
        return false;
    std::error_code error;
    std::filesystem::remove_all(folder, error);  // removes links, follows none
    struct stat info {};
    return ::lstat(folder.c_str(), &info) != 0;
}

bool MoveFile(const std::wstring& from, const std::wstring& to)
{
    const std::string source = ToUtf8(from), target = ToUtf8(to);
    if (source.find('\0') != std::string::npos || target.find('\0') != std::string::npos)
        return false;
    return std::rename(source.c_str(), target.c_str()) == 0;
}

}  // namespace Quillet::Platform
