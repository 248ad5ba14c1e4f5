// ZBaseStorage, ZFileStorage, ZDirStorage and ZFileStream on POSIX.
#include "platform/ZBaseStorage.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"
#include "platform/posix/DirListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Quillet {
namespace {

/// The UTF-8 form of a path for the system calls; false for a path that no
/// system call could name (empty, or holding a NUL, which would cut it short).
bool NativePath(const ZString& path, std::string& native)
{
    if (path.Str().empty() || path.Str().find(L'\0') != std::wstring::npos)
        return false;
    native = ToUtf8(path.Str());
    return true;
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

bool WriteAll(int fd, const void* data, std::size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, p, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

ssize_t ReadRetrying(int fd, void* data, std::size_t size)
{
    ssize_t got;
    do {
        got = ::read(fd, data, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool CopyContents(int from, int to)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ReadRetrying(from, buffer, sizeof buffer);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!WriteAll(to, buffer, static_cast<std::size_t>(got)))
            return false;
    }
}

/// Closes fd, keeping the first failure: a failed close can be the first
/// report of a failed write on some file systems.
bool CloseChecked(int fd)
{
    return ::close(fd) == 0 || errno == EINTR;
}

}  // namespace

const wchar_t* const ZBaseStorage::kZPathDelimStr = L"/";

bool ZBaseStorage::TempDirPath(std::wstring& path)
{
    const char* tmpdir = std::getenv("TMPDIR");
    path = FromUtf8(tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp");
    if (path.back() != L'/')
        path += L'/';
    return true;
}

std::wstring ZBaseStorage::FontsFolderPath()
{
    struct stat info {};
    if (::stat("/usr/share/fonts", &info) == 0 && S_ISDIR(info.st_mode))
        return L"/usr/share/fonts";
    return std::wstring();
}

std::wstring ZBaseStorage::UserTempDirPath(const std::wstring& name)
{
    std::wstring path;
    TempDirPath(path);
    return path + name + L"-" + std::to_wstring(::geteuid()) + L"/";
}

bool ZBaseStorage::MakeAbsolute(std::wstring& path)
{
    if (!path.empty() && path[0] == L'/')
        return true;
    std::string current(4096, '\0');
    while (::getcwd(current.data(), current.size()) == nullptr) {
        if (errno != ERANGE || current.size() > (1U << 20))
            return false;
        current.resize(current.size() * 2);
    }
    current.resize(std::char_traits<char>::length(current.c_str()));
    path = FromUtf8(current) + (current == "/" ? L"" : L"/") + path;
    return true;
}

bool ZFileStorage::Exists() const
{
    std::string native;
    struct stat info {};
    return NativePath(path, native) && ::stat(native.c_str(), &info) == 0 &&
           !S_ISDIR(info.st_mode);
}

tagZBASESTAT ZFileStorage::Copy(const ZString& dest, bool failIfExists) const
{
    std::string from, to;
    if (!NativePath(path, from) || !NativePath(dest, to))
        return ZBASE_FAILED;
    const int source = OpenRetrying(from.c_str(), O_RDONLY);
    if (source == -1)
        return ZBASE_FAILED;
    struct stat info {};
    if (::fstat(source, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(source);
        return ZBASE_FAILED;
    }
    const mode_t mode = info.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);

    bool ok;
    if (failIfExists) {
        // O_EXCL makes "fail if it exists" atomic against other creators.
        const int target = OpenRetrying(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
        if (target == -1) {
            ::close(source);
            return ZBASE_FAILED;
        }
        ok = CopyContents(source, target);
        ok = CloseChecked(target) && ok;
        if (!ok)
            ::unlink(to.c_str());
    } else {
        // Write a temporary file beside dest and rename it over dest: readers
        // never see a half-written dest, and copying a file onto itself does
        // not truncate it first.
        std::string temp = to + ".qvcopyXXXXXX";
        const int target = ::mkostemp(temp.data(), O_CLOEXEC);
        if (target == -1) {
            ::close(source);
            return ZBASE_FAILED;
        }
        ok = CopyContents(source, target) && ::fchmod(target, mode) == 0;
        ok = CloseChecked(target) && ok;
        ok = ok && ::rename(temp.c_str(), to.c_str()) == 0;
        if (!ok)
            ::unlink(temp.c_str());
    }
    ::close(source);
    return ok ? ZBASE_OK : ZBASE_FAILED;
}

tagZBASESTAT ZFileStorage::Delete(bool /*secure*/) const
{
    std::string native;
    if (!NativePath(path, native))
        return ZBASE_FAILED;
    return ::unlink(native.c_str()) == 0 ? ZBASE_OK : ZBASE_FAILED;
}

bool ZFileStorage::GetSize(unsigned long long& size) const
{
    std::string native;
    struct stat info {};
    if (!NativePath(path, native) || ::stat(native.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    size = static_cast<unsigned long long>(info.st_size);
    return true;
}

bool ZDirStorage::Exists() const
{
    std::string native;
    struct stat info {};
    return NativePath(path, native) && ::stat(native.c_str(), &info) == 0 &&
           S_ISDIR(info.st_mode);
}

bool ZDirStorage::CreateOwn(std::string& why) const
{
    std::string native;
    if (!NativePath(path, native)) {
        why = "the folder has no usable name";
        return false;
    }
    while (native.size() > 1 && native.back() == '/')
        native.pop_back();
    if (::mkdir(native.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "the folder " + native + " cannot be created (" + std::strerror(errno) + ")";
        return false;
    }
    // Looked at through the name without following a link: whatever another
    // user planted under it is refused, never written through.
    struct stat info {};
    if (::lstat(native.c_str(), &info) != 0) {
        why = "the folder " + native + " cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    if (S_ISLNK(info.st_mode))
        why = "the folder " + native + " is a symbolic link; a default folder is never reached through one";
    else if (!S_ISDIR(info.st_mode))
        why = native + " is not a folder";
    else if (info.st_uid != ::geteuid())
        why = "the folder " + native + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    else
        return true;
    return false;
}

void ZDirStorage::List(const std::wstring& prefix, std::vector<std::wstring>& names) const
{
    std::string native;
    if (!NativePath(path, native))
        return;
    Platform::ListAndClose(::opendir(native.c_str()), prefix, names);
}

namespace {

std::uint64_t ContentSize(int folder, const std::string& prefix, bool recursive, int depth)
{
    DIR* listing = ::fdopendir(folder);
    if (listing == nullptr) {
        ::close(folder);
        return 0;
    }
    std::uint64_t bytes = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(listing), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(info.st_mode)) {
            bytes += static_cast<std::uint64_t>(info.st_size);
        } else if (S_ISDIR(info.st_mode) && recursive && depth < 64) {
            const int sub = ::openat(::dirfd(listing), name.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                bytes += ContentSize(sub, std::string(), true, depth + 1);
        }
    }
    ::closedir(listing);
    return bytes;
}

}  // namespace

std::uint64_t ZDirStorage::GetContentSize(const std::wstring& prefix, bool recursive) const
{
    std::string native;
    if (!NativePath(path, native))
        return 0;
    const int folder = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return folder < 0 ? 0 : ContentSize(folder, ToUtf8(prefix), recursive, 0);
}

tagZBASESTAT ZDirStorage::Create() const
{
    std::string native;
    if (!NativePath(path, native))
        return ZBASE_FAILED;
    // Create each missing component in turn; a component another thread or
    // process creates meanwhile (EEXIST) is fine as long as it is a folder.
    std::size_t end = 0;
    while (end != std::string::npos) {
        end = native.find('/', end + 1);
        const std::string part = native.substr(0, end);
        if (part.empty() || part == "/")
            continue;
        if (::mkdir(part.c_str(), 0777) != 0) {
            const int error = errno;
            struct stat info {};
            if (error != EEXIST && error != EISDIR)
                return ZBASE_FAILED;
            if (::stat(part.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
                return ZBASE_FAILED;
        }
    }
    return ZBASE_OK;
}

ZFileStream::~ZFileStream()
{
    Close();
}

tagZBASESTAT ZFileStream::Open(int mode, const ZString& path)
{
    Close();
    int flags;
    switch (mode) {
    case kRead: flags = O_RDONLY; break;
    case kCreate: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case kAppend: flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return ZBASE_FAILED;
    }
    std::string native;
    if (!NativePath(path, native))
        return ZBASE_FAILED;
    const int fd = OpenRetrying(native.c_str(), flags, 0666);
    if (fd == -1)
        return ZBASE_FAILED;
    handle = Platform::HandleOf(fd);
    return ZBASE_OK;
}

tagZBASESTAT ZFileStream::Write(const void* data, std::size_t size)
{
    if (!IsOpen())
        return ZBASE_FAILED;
    return WriteAll(Fd(handle), data, size) ? ZBASE_OK : ZBASE_FAILED;
}

tagZBASESTAT ZFileStream::Read(void* data, std::size_t size, std::size_t& count)
{
    count = 0;
    if (!IsOpen())
        return ZBASE_FAILED;
    const ssize_t got = ReadRetrying(Fd(handle), data, size);
    if (got < 0)
        return ZBASE_FAILED;
    count = static_cast<std::size_t>(got);
    return ZBASE_OK;
}

void ZFileStream::Close()
{
    if (handle != Platform::kInvalidHandle) {
        ::close(Fd(handle));
        handle = Platform::kInvalidHandle;
    }
}

bool ZFileStream::IsOpen() const
{
    return handle != Platform::kInvalidHandle;
}

}  // namespace Quillet
