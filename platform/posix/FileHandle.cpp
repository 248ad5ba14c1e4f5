// POSIX implementation of UniqueHandle and of the job data-source primitives:
// opening, reading with write-lock detection, rewinding (taking a descriptor
// from another process is Linux's, in platform/linux/FileHandle.cpp).
#include "platform/FileHandle.h"

#include "platform/TextConversion.h"
#include "platform/posix/Internal.h"

#include <cerrno>
#include <cstdint>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Quillet::Platform {

namespace {

bool HasNul(const std::wstring& path)
{
    return path.find(L'\0') != std::wstring::npos;
}

// Waits until a pipe, FIFO or socket can be read without blocking, or reports
// its end. A FIFO that never had a writer is readable as end of file, while
// poll() waits for its first writer; so polling first is what keeps a reader
// that opened the FIFO early from ending before the job arrives.
bool WaitReadable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, -1);
        if (ready > 0)
            return (entry.revents & POLLNVAL) == 0;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// The length of [offset, offset + size) that no other holder has write-locked,
// or size when the file system keeps no locks. Each answer names one
// conflicting lock, not necessarily the lowest; narrowing the range to the part
// before it and asking again finds the first one.
std::size_t UnlockedLength(int fd, off_t offset, std::size_t size)
{
    off_t length = static_cast<off_t>(size);
    while (length > 0) {
        struct flock query {};
        query.l_type = F_RDLCK;
        query.l_whence = SEEK_SET;
        query.l_start = offset;
        query.l_len = length;
#ifdef F_OFD_GETLK
        if (::fcntl(fd, F_OFD_GETLK, &query) != 0)
#endif
        {
            // Systems or kernels without open-file-description locks: record
            // locks only.
            query = {};
            query.l_type = F_RDLCK;
            query.l_whence = SEEK_SET;
            query.l_start = offset;
            query.l_len = length;
            if (::fcntl(fd, F_GETLK, &query) != 0)
                return size;
        }
        if (query.l_type == F_UNLCK)
            break;
        if (query.l_start <= offset)
            return 0;
        length = query.l_start - offset;
    }
    return static_cast<std::size_t>(length);
}

}  // namespace

int MoveAboveStdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

void UniqueHandle::Reset(NativeHandle replacement)
{
    if (handle.IsValid() && handle != replacement)
        ::close(Fd(handle));  // not retried on EINTR: Linux has released it
    handle = replacement;
}

NativeHandle OpenForReading(const std::wstring& path)
{
    if (path.empty() || HasNul(path))
        return kInvalidHandle;
    const std::string name = ToUtf8(path);
    // O_NONBLOCK only so that opening a FIFO does not wait for its writer;
    // reads are blocking again below. O_NOCTTY: a terminal named as a job
    // must not become the host's controlling terminal.
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return kInvalidHandle;
    fd = MoveAboveStdio(fd);
    if (fd < 0)
        return kInvalidHandle;
    UniqueHandle owner(HandleOf(fd));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode))
        return kInvalidHandle;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return kInvalidHandle;
    return owner.Take();
}

NativeHandle OpenRegularFile(const std::wstring& path, std::uint64_t& length)
{
    if (path.empty() || HasNul(path))
        return kInvalidHandle;
    // Not through a link, and never waiting for the writer of a FIFO put
    // under the name: the file's name is all that is trusted here.
    const int fd = MoveAboveStdio(
        ::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (fd < 0)
        return kInvalidHandle;
    UniqueHandle owner(HandleOf(fd));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return kInvalidHandle;
    length = static_cast<std::uint64_t>(info.st_size);
    return owner.Take();
}

bool ReadAt(NativeHandle file, std::uint64_t offset, void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    if (offset > static_cast<std::uint64_t>(INT64_MAX) || size > SSIZE_MAX)
        return false;
    for (;;) {
        const ssize_t n = ::pread(Fd(file), buffer, size, static_cast<off_t>(offset));
        if (n >= 0) {
            count = static_cast<std::size_t>(n);
            return true;
        }
        if (errno != EINTR)
            return false;
    }
}

bool GetFileLength(NativeHandle handle, std::uint64_t& length)
{
    struct stat info {};
    if (handle == kInvalidHandle || ::fstat(Fd(handle), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    length = static_cast<std::uint64_t>(info.st_size);
    return true;
}

ReadStatus ReadSource(NativeHandle source, void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    const int fd = Fd(source);
    if (source == kInvalidHandle || buffer == nullptr)
        return ReadStatus::Error;
    if (size == 0)
        return ReadStatus::Data;
    if (size > SSIZE_MAX)
        size = SSIZE_MAX;

    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return ReadStatus::Error;
    const bool regular = S_ISREG(info.st_mode);
    if (regular) {
        const off_t offset = ::lseek(fd, 0, SEEK_CUR);
        if (offset >= 0) {
            size = UnlockedLength(fd, offset, size);
            if (size == 0)
                return ReadStatus::Locked;
        }
    }

    for (;;) {
        if (!regular && !WaitReadable(fd))
            return ReadStatus::Error;
        const ssize_t got = ::read(fd, buffer, size);
        if (got > 0) {
            count = static_cast<std::size_t>(got);
            return ReadStatus::Data;
        }
        if (got == 0)
            return ReadStatus::End;
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:  // a source its other owner made non-blocking: wait again
            if (regular)
                return ReadStatus::Error;
            continue;
        case EPIPE:
        case ECONNRESET:
            return ReadStatus::End;
        default:
            return ReadStatus::Error;
        }
    }
}

bool Rewind(NativeHandle handle)
{
    return handle != kInvalidHandle && ::lseek(Fd(handle), 0, SEEK_SET) == 0;
}

NativeHandle StandardInput()
{
    return ::fcntl(STDIN_FILENO, F_GETFD) == -1 ? kInvalidHandle : HandleOf(STDIN_FILENO);
}

bool ReadFileStart(const std::wstring& path, std::size_t maxBytes, std::string& bytes)
{
    bytes.clear();
    if (path.empty() || HasNul(path))
        return false;
    const std::string name = ToUtf8(path);
    int fd;
    do {
        // O_NONBLOCK: a FIFO at that path must not hang the caller.
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1)
        return GetPathKind(path) == PathKind::File;
    UniqueHandle owner(HandleOf(fd));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    bytes.resize(maxBytes);
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + total, bytes.size() - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        total += static_cast<std::size_t>(got);
    }
    bytes.resize(total);
    return true;
}

PathKind GetPathKind(const std::wstring& path)
{
    if (path.empty() || HasNul(path))
        return PathKind::Missing;
    struct stat info {};
    if (::stat(ToUtf8(path).c_str(), &info) != 0)
        return PathKind::Missing;
    if (S_ISREG(info.st_mode))
        return PathKind::File;
    if (S_ISFIFO(info.st_mode))
        return PathKind::Fifo;
    if (S_ISDIR(info.st_mode))
        return PathKind::Directory;
    return PathKind::Device;
}

std::wstring PipeFolder()
{
    return L"/tmp/.quillet-pipe/";
}

std::wstring PipePath(const std::wstring& name)
{
    if (name.empty() || name == L"." || name == L".." || HasNul(name) ||
        name.find(L'/') != std::wstring::npos)
        return std::wstring();
    return PipeFolder() + name;
}

}  // namespace Quillet::Platform
