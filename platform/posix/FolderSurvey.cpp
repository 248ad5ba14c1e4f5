// FolderSurvey on POSIX: a walk with openat and fstatat below one folder
// descriptor, never following links.
#include "platform/FolderSurvey.h"
#include "platform/Fnv.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

namespace Quillet::Platform {

namespace {

constexpr off_t kContentLimit = 1 << 20;

/// Calls visit(parent, name, info, relative path) for everything below the
/// open folder descriptor dir, depth first; takes dir over.
void Walk(int dir, const std::string& prefix, const std::vector<std::string>& skip,
          const std::function<void(int, const char*, const struct stat&, const std::string&)>& visit)
{
    DIR* listing = ::fdopendir(dir);
    if (listing == nullptr) {
        ::close(dir);
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || std::find(skip.begin(), skip.end(), name) != skip.end())
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        visit(::dirfd(listing), entry->d_name, info, prefix + name);
        if (S_ISDIR(info.st_mode)) {
            const int sub =
                ::openat(::dirfd(listing), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                Walk(sub, prefix + name + "/", {}, visit);
        }
    }
    ::closedir(listing);
}

int OpenFolder(const std::wstring& folder)
{
    const std::string path = ToUtf8(folder);
    if (path.empty() || path.find('\0') != std::string::npos)
        return -1;
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::uint64_t ContentHash(int parent, const char* name, const struct stat& info)
{
    std::uint64_t hash = MixValue(kFnvOffset, static_cast<std::uint64_t>(info.st_size));
    if (S_ISLNK(info.st_mode)) {
        char target[4096];
        const ssize_t length = ::readlinkat(parent, name, target, sizeof target);
        return length > 0 ? Mix(hash ^ 1, target, static_cast<std::size_t>(length)) : hash ^ 1;
    }
    if (!S_ISREG(info.st_mode))
        return MixValue(hash ^ 2, static_cast<std::uint32_t>(info.st_mode));
    if (info.st_size > kContentLimit) {
        hash = MixValue(hash, static_cast<std::uint64_t>(info.st_ino));
        hash = MixValue(hash, static_cast<std::int64_t>(info.st_ctim.tv_sec));
        return MixValue(hash, static_cast<std::int64_t>(info.st_ctim.tv_nsec));
    }
    // O_NONBLOCK: a FIFO put there in the meantime must not stall the walk.
    const int file = ::openat(parent, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0)
        return hash ^ 3;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(file, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        hash = Mix(hash, buffer, static_cast<std::size_t>(count));
    }
    ::close(file);
    return hash;
}

}  // namespace

std::uint64_t FolderBytes(const std::wstring& folder)
{
    const int dir = OpenFolder(folder);
    if (dir < 0)
        return 0;
    std::uint64_t bytes = 0;
    Walk(dir, std::string(), {}, [&bytes](int, const char*, const struct stat& info, const std::string&) {
        bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;
    });
    return bytes;
}

std::map<std::string, std::uint64_t> FolderFiles(const std::wstring& folder, const std::vector<std::wstring>& skip)
{
    std::map<std::string, std::uint64_t> files;
    const int dir = OpenFolder(folder);
    if (dir < 0)
        return files;
    std::vector<std::string> names;
    for (const std::wstring& name : skip)
        names.push_back(ToUtf8(name));
    Walk(dir, std::string(), names,
         [&files](int parent, const char* name, const struct stat& info, const std::string& path) {
             if (!S_ISDIR(info.st_mode))
                 files[path] = ContentHash(parent, name, info);
         });
    return files;
}

}  // namespace Quillet::Platform
