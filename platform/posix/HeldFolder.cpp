// HeldFolder on POSIX: a folder descriptor (O_DIRECTORY), checked with fstat
// and worked on with the *at calls.
#include "platform/HeldFolder.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"
#include "platform/posix/DirListing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace Quillet::Platform {
namespace {

/// mkdir -p with mode 0700 for every folder it makes: a folder the library
/// makes for pages is its user's alone. An existing one is left as it is.
/// Returns 0, or the error of the first folder that could not be made.
int CreatePrivate(const std::string& path)
{
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

/// True when a user other than self may belong to the group gid: it lists
/// other members, or another account has it as its primary group. The
/// accounts are read from the system's own file; a group that cannot be
/// looked up counts as shared.
bool GroupHasOthers(gid_t gid, uid_t self)
{
    char buffer[16384];
    passwd own {};
    passwd* found = nullptr;
    std::string selfName;
    if (::getpwuid_r(self, &own, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        selfName = found->pw_name;
    group entry {};
    group* groupFound = nullptr;
    if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &groupFound) != 0 || groupFound == nullptr)
        return true;
    for (char** member = groupFound->gr_mem; *member != nullptr; ++member)
        if (selfName != *member)
            return true;
    FILE* accounts = std::fopen("/etc/passwd", "re");
    if (accounts == nullptr)
        return true;
    bool others = false;
    passwd account {};
    passwd* next = nullptr;
    while (!others && ::fgetpwent_r(accounts, &account, buffer, sizeof buffer, &next) == 0 && next != nullptr)
        others = next->pw_gid == gid && next->pw_uid != self;
    std::fclose(accounts);
    return others;
}

}  // namespace

bool HeldFolder::Open(const std::wstring& path, std::string& why)
{
    Close();
    if (path.empty() || path.find(L'\0') != std::wstring::npos) {
        why = "it has no usable name";
        return false;
    }
    std::string native = ToUtf8(path);
    while (native.size() > 1 && native.back() == '/')
        native.pop_back();
    const int createError = CreatePrivate(native);
    int fd;
    do {
        fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (createError != 0 && (errno == ENOENT || errno == ENOTDIR))
            why = std::string("it cannot be created (") + std::strerror(createError) + ")";
        else if (errno == ENOTDIR)
            why = "it is not a folder";
        else
            why = std::string("it cannot be opened (") + std::strerror(errno) + ")";
        return false;
    }
    UniqueHandle opened(HandleOf(fd));
    // Judged on what was opened, not on the name: a name swapped after this
    // look is caught by IsStillAt.
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        why = std::string("it cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    const uid_t self = ::geteuid();
    if (info.st_uid != self && info.st_uid != 0)
        why = "it belongs to another user (uid " + std::to_string(info.st_uid) + "), who could replace its pages";
    else if ((info.st_mode & S_IWOTH) != 0)
        why = "every user may write in it, and so replace its pages";
    else if ((info.st_mode & S_IWGRP) != 0 && GroupHasOthers(info.st_gid, self))
        why = "the other members of its group (gid " + std::to_string(info.st_gid) +
              ") may write in it, and so replace its pages";
    if (!why.empty())
        return false;
    handle = std::move(opened);
    return true;
}

bool HeldFolder::CanWrite(std::string& why) const
{
    // Judged from what the folder and its disk say, not by access(): a
    // confined process is answered no to that question whatever it may
    // write. Said only when certain: a read-only disk (even for the
    // administrator), or this user's own folder without its write bit; an
    // access list may still refuse, and Ghostscript then says so itself.
    struct stat info {};
    struct statvfs disk {};
    if (!handle.IsValid() || ::fstat(Fd(handle.Get()), &info) != 0 || ::fstatvfs(Fd(handle.Get()), &disk) != 0)
        return true;
    if ((disk.f_flag & ST_RDONLY) != 0) {
        why = std::string("it cannot be written (") + std::strerror(EROFS) + ")";
        return false;
    }
    if (::geteuid() != 0 && info.st_uid == ::geteuid() && (info.st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR)) {
        why = std::string("it cannot be written (") + std::strerror(EACCES) + ")";
        return false;
    }
    return true;
}

bool HeldFolder::IsStillAt(const std::wstring& path) const
{
    struct stat held {};
    struct stat named {};
    return handle.IsValid() && ::fstat(Fd(handle.Get()), &held) == 0 &&
           ::stat(ToUtf8(path).c_str(), &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::vector<std::wstring> HeldFolder::List(const std::wstring& prefix) const
{
    std::vector<std::wstring> names;
    // A descriptor of its own: the listing closes it.
    const int fd =
        handle.IsValid() ? ::openat(Fd(handle.Get()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0)
        return names;
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr)
        ::close(fd);
    ListAndClose(listing, prefix, names);
    return names;
}

bool HeldFolder::Remove(const std::wstring& name) const
{
    const std::string native = ToUtf8(name);
    return handle.IsValid() && native.find('/') == std::string::npos &&
           ::unlinkat(Fd(handle.Get()), native.c_str(), 0) == 0;
}

}  // namespace Quillet::Platform
