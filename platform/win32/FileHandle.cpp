// UniqueHandle (CloseHandle) and the job data-source primitives on Windows:
// CreateFileW (never inheritable), ReadFile with the spooler's byte-range
// locks (LockFileEx) seen as Locked, DuplicateHandle from another process, and the pipe
// names "\\.\pipe\NAME", which are the system's own here.
#include "platform/win32/Files.h"

#include "platform/FileHandle.h"
#include "platform/StandardHandles.h"

#include <climits>

namespace Quillet::Platform {

namespace {

const std::wstring kPipePrefix = L"\\\\.\\pipe\\";

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool IsPipeName(const std::wstring& path)
{
    return path.size() > kPipePrefix.size() && _wcsnicmp(path.c_str(), kPipePrefix.c_str(), kPipePrefix.size()) == 0;
}

/// The attributes of what an open handle names; false for handles that are
/// no file or folder (pipes, consoles).
bool InformationOf(HANDLE file, BY_HANDLE_FILE_INFORMATION& info)
{
    return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info);
}

bool IsRegular(HANDLE file, std::uint64_t* length = nullptr)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!InformationOf(file, info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    if (length != nullptr)
        *length = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

/// Reads up to size bytes at offset of a file opened for synchronous
/// reading; got gets the count. The system's error when the read fails.
DWORD ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD size, DWORD& got)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    got = 0;
    if (::ReadFile(file, buffer, size, &got, &at))
        return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    return error == ERROR_HANDLE_EOF ? ERROR_SUCCESS : error;
}

/// True when this handle may take a shared lock on [offset, offset + length):
/// no other holder has a range of it locked for writing. The lock is let go
/// at once.
bool MayLockShared(HANDLE file, std::uint64_t offset, DWORD length)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (!::LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, length, 0, &at))
        return false;
    ::UnlockFileEx(file, 0, length, 0, &at);
    return true;
}

/// The length of [offset, offset + size) before the first byte another
/// holder has locked, found by asking for a shared lock (the system's only
/// way to see another's lock; size when the file system keeps no locks).
DWORD UnlockedLength(HANDLE file, std::uint64_t offset, DWORD size)
{
    if (MayLockShared(file, offset, size))
        return size;
    if (::GetLastError() != ERROR_LOCK_VIOLATION)
        return size;
    DWORD free = 0, locked = size;  // free is known free, locked known to hold a lock
    while (locked - free > 1) {
        const DWORD middle = free + (locked - free) / 2;
        if (MayLockShared(file, offset, middle))
            free = middle;
        else
            locked = middle;
    }
    return free;
}

}  // namespace

void UniqueHandle::Reset(NativeHandle replacement)
{
    if (handle.IsValid() && handle != replacement)
        ::CloseHandle(ToHandle(handle));
    handle = replacement;
}

NativeHandle OpenForReading(const std::wstring& path)
{
    if (!IsUsablePath(path))
        return kInvalidHandle;
    // A pipe's writer is the pipe's server: it exists before the job is
    // named, so the open does not wait for it. Shared for everything, as a
    // POSIX open is: the spooler may still write and remove the file.
    const HANDLE file = ::CreateFileW(SystemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    UniqueHandle owner(HandleOf(file));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!owner.IsValid() ||
        (InformationOf(file, info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
        return kInvalidHandle;
    return owner.Take();
}

NativeHandle OpenRegularFile(const std::wstring& path, std::uint64_t& length)
{
    if (!IsUsablePath(path) || IsPipeName(path))
        return kInvalidHandle;
    // Not through a link: the link itself is opened, and refused below.
    const HANDLE file = ::CreateFileW(SystemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    UniqueHandle owner(HandleOf(file));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!owner.IsValid() || !InformationOf(file, info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return kInvalidHandle;
    length = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return owner.Take();
}

bool ReadFileStart(const std::wstring& path, std::size_t maxBytes, std::string& bytes)
{
    bytes.clear();
    if (!IsUsablePath(path) || IsPipeName(path))
        return false;
    const HANDLE file = ::CreateFileW(SystemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetPathKind(path) == PathKind::File;
    UniqueHandle owner(HandleOf(file));
    if (!IsRegular(file))
        return false;
    bytes.resize(maxBytes);
    std::size_t total = 0;
    while (total < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - total, 1u << 20));
        DWORD got = 0;
        if (ReadFileAt(file, total, bytes.data() + total, want, got) != ERROR_SUCCESS || got == 0)
            break;
        total += got;
    }
    bytes.resize(total);
    return true;
}

bool ReadAt(NativeHandle file, std::uint64_t offset, void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    if (!file.IsValid() || offset > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    // A read at an offset moves a synchronous handle's position: it is put back.
    LARGE_INTEGER position{};
    const LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(ToHandle(file), zero, &position, FILE_CURRENT))
        return false;
    DWORD got = 0;
    const DWORD error = ReadFileAt(ToHandle(file), offset, buffer,
                                   static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), got);
    ::SetFilePointerEx(ToHandle(file), position, nullptr, FILE_BEGIN);
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return false;
    }
    count = got;
    return true;
}

bool GetFileLength(NativeHandle handle, std::uint64_t& length)
{
    std::uint64_t found = 0;
    if (!handle.IsValid() || !IsRegular(ToHandle(handle), &found))
        return false;
    length = found;
    return true;
}

ReadStatus ReadSource(NativeHandle source, void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    if (!source.IsValid() || buffer == nullptr)
        return ReadStatus::Error;
    if (size == 0)
        return ReadStatus::Data;
    const HANDLE file = ToHandle(source);
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD got = 0;
    if (::GetFileType(file) == FILE_TYPE_DISK) {
        // Only the part before another holder's lock is read; a read that
        // covered a locked range would fail whole. The position moves only
        // by what was read.
        LARGE_INTEGER position{};
        const LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(file, zero, &position, FILE_CURRENT))
            return ReadStatus::Error;
        want = UnlockedLength(file, static_cast<std::uint64_t>(position.QuadPart), want);
        if (want == 0)
            return ReadStatus::Locked;
        const DWORD error = ReadFileAt(file, static_cast<std::uint64_t>(position.QuadPart), buffer, want, got);
        if (error == ERROR_LOCK_VIOLATION)
            return ReadStatus::Locked;  // locked since the look
        if (error != ERROR_SUCCESS) {
            ::SetLastError(error);
            return ReadStatus::Error;
        }
        LARGE_INTEGER next{};
        next.QuadPart = position.QuadPart + got;
        ::SetFilePointerEx(file, next, nullptr, FILE_BEGIN);
        if (got == 0)
            return ReadStatus::End;
        count = got;
        return ReadStatus::Data;
    }
    // Pipes and consoles block until data comes or the writer closes.
    for (;;) {
        if (::ReadFile(file, buffer, want, &got, nullptr)) {
            if (got == 0 && ::GetFileType(file) == FILE_TYPE_PIPE)
                continue;  // a message of no bytes: the writer is still there
            count = got;
            return got > 0 ? ReadStatus::Data : ReadStatus::End;
        }
        switch (::GetLastError()) {
        case ERROR_BROKEN_PIPE:
        case ERROR_PIPE_NOT_CONNECTED:
        case ERROR_HANDLE_EOF:
            return ReadStatus::End;
        case ERROR_MORE_DATA:  // a message-mode pipe's longer message: its first part
            count = got;
            return ReadStatus::Data;
        case ERROR_NO_DATA:  // a pipe its other owner left in non-waiting mode
            ::Sleep(10);
            continue;
        default:
            return ReadStatus::Error;
        }
    }
}

bool Rewind(NativeHandle handle)
{
    const LARGE_INTEGER zero{};
    return handle.IsValid() && ::GetFileType(ToHandle(handle)) == FILE_TYPE_DISK &&
           ::SetFilePointerEx(ToHandle(handle), zero, nullptr, FILE_BEGIN);
}

NativeHandle DuplicateFromProcess(std::uint32_t processId, std::int32_t handle)
{
    // Handle values fit in 32 bits, also in 64-bit processes, so that 32-bit
    // and 64-bit processes can exchange them.
    if (handle <= 0 || processId == 0)
        return kInvalidHandle;
    const bool own = processId == ::GetCurrentProcessId();
    const HANDLE process = own ? ::GetCurrentProcess() : ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, processId);
    if (process == nullptr)
        return kInvalidHandle;
    HANDLE copy = nullptr;
    const BOOL done = ::DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle)),
                                        ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    if (!own)
        ::CloseHandle(process);
    return done ? HandleOf(copy) : kInvalidHandle;
}

NativeHandle StandardInput()
{
    return HandleOf(::GetStdHandle(STD_INPUT_HANDLE));
}

NativeHandle StandardOutput()
{
    return HandleOf(::GetStdHandle(STD_OUTPUT_HANDLE));
}

NativeHandle StandardError()
{
    return HandleOf(::GetStdHandle(STD_ERROR_HANDLE));
}

PathKind GetPathKind(const std::wstring& path)
{
    if (!IsUsablePath(path))
        return PathKind::Missing;
    if (IsPipeName(path)) {
        // Opening a pipe to look at it would take the instance its reader
        // waits for: ask whether one exists instead (busy ones count).
        if (::WaitNamedPipeW(path.c_str(), 1))
            return PathKind::Fifo;
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_BAD_PATHNAME || error == ERROR_INVALID_NAME
                   ? PathKind::Missing
                   : PathKind::Fifo;
    }
    // Links followed, with no access asked: the object's kind only.
    const HANDLE file = ::CreateFileW(SystemPath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD attributes = ::GetFileAttributesW(SystemPath(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return PathKind::Missing;
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::File;
    }
    UniqueHandle owner(HandleOf(file));
    switch (::GetFileType(file)) {
    case FILE_TYPE_DISK: {
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return PathKind::Directory;
        return PathKind::File;
    }
    case FILE_TYPE_PIPE: return PathKind::Fifo;
    default: return PathKind::Device;
    }
}

std::wstring PipeFolder()
{
    return kPipePrefix;
}

std::wstring PipePath(const std::wstring& name)
{
    if (name.empty() || name == L"." || name == L".." ||
        name.find_first_of(std::wstring(L"\\/\0", 3)) != std::wstring::npos)
        return std::wstring();
    return PipeFolder() + name;
}

}  // namespace Quillet::Platform
