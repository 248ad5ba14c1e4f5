// Private folders on POSIX: mkdtemp (mode 0700), removed with remove_all,
// and the sweep of what processes that are gone left in a shared folder.
#include "platform/PrivateFolder.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "platform/posix/Leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace Quillet::Platform {

namespace {

/// Removes path and everything below it; a symbolic link inside is removed,
/// never followed.
void RemoveTree(const std::string& path) noexcept
{
    std::error_code error;
    std::filesystem::remove_all(path, error);
}

}  // namespace

void RemoveLeftovers(const std::string& folder, const std::function<long(const std::string& name)>& processIdOf)
{
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr)
        return;
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    const uid_t self = ::geteuid();
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        const long pid = processIdOf(name);
        struct stat info {};
        if (pid <= 0 || ::fstatat(::dirfd(listing), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            info.st_uid != self || ZUtilities::IsProcessAlive(static_cast<std::uint32_t>(pid)))
            continue;
        if (S_ISREG(info.st_mode))
            ::unlinkat(::dirfd(listing), name.c_str(), 0);
        else if (S_ISDIR(info.st_mode))
            RemoveTree(prefix + name);
    }
    ::closedir(listing);
}

PrivateFolder::PrivateFolder(const std::wstring& stem)
{
    std::wstring temp;
    ZBaseStorage::TempDirPath(temp);
    const std::string folder = ToUtf8(temp);
    const std::string start = ToUtf8(stem) + "-";
    RemoveLeftovers(folder, [&start](const std::string& name) {
        if (name.compare(0, start.size(), start) != 0)
            return 0L;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + start.size(), &end, 10);
        return *end == '-' ? pid : 0L;
    });
    std::string pattern = folder + start + std::to_string(::getpid()) + "-XXXXXX";
    // mkdtemp makes the folder with mode 0700, whatever the umask.
    if (pattern.find('\0') == std::string::npos && ::mkdtemp(pattern.data()) != nullptr)
        path = FromUtf8(pattern);
}

void PrivateFolder::Remove() noexcept
{
    if (path.empty())
        return;
    RemoveTree(ToUtf8(path));
    path.clear();
}

bool RenameFile(const std::wstring& from, const std::wstring& to)
{
    const std::string source = ToUtf8(from), target = ToUtf8(to);
    if (source.find('\0') != std::string::npos || target.find('\0') != std::string::npos)
        return false;
    return std::rename(source.c_str(), target.c_str()) == 0;
}

}  // namespace Quillet::Platform
