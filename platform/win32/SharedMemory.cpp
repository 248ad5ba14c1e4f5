// SharedMemory on Windows: a named section of the paging file
// (CreateFileMappingW) judged by its owner and DACL, and marks as byte-range
// locks (LockFileEx) on a file of the scope.
#include "platform/win32/Internal.h"

#include "platform/SharedMemory.h"
#include "platform/win32/SharedObject.h"

#include <shlobj.h>

namespace Quillet::Platform {
namespace {

std::size_t PageSize()
{
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

/// The folder of the marks' files: the machine's program data for the print
/// path, which every account reaches, and this user's temporary folder for
/// its own. Ends in a separator; empty when the system cannot tell.
std::wstring MarksFolder(SharedScope scope)
{
    wchar_t path[MAX_PATH + 1] = {};
    if (scope == SharedScope::PrintPath) {
        if (::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_DONT_VERIFY, nullptr,
                               SHGFP_TYPE_CURRENT, path) != S_OK)
            return std::wstring();
        return std::wstring(path) + L"\\";
    }
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, path);
    return length > 0 && length <= MAX_PATH ? std::wstring(path, length) : std::wstring();
}

}  // namespace

SharedMemory::OpenResult SharedMemory::Open(const std::wstring& name, std::size_t wanted, SharedScope scope)
{
    Close();
    ScopeSecurity security(scope);
    if (security.Get() == nullptr || wanted == 0)
        return OpenResult::Failed;
    const std::wstring object = SharedObjectName(name, scope);
    const auto bytes = static_cast<std::uint64_t>(wanted);
    HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Get(), PAGE_READWRITE,
                                          static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes),
                                          object.c_str());
    if (mapping == nullptr)
        return ::GetLastError() == ERROR_ACCESS_DENIED ? OpenResult::Refused : OpenResult::Failed;
    // A section is sized when it is made, so there is no half-made one to
    // complete; an existing one is judged before a byte of it is used.
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (existed && !IsTrustedObject(mapping, SE_KERNEL_OBJECT, scope)) {
        ::CloseHandle(mapping);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return OpenResult::Refused;
    }
    // The handle stays open with the view: a section loses its name when its
    // last handle closes, even while views of it remain.
    UniqueHandle section(HandleOf(mapping));
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (view == nullptr)
        return OpenResult::Failed;
    // The whole section is mapped: its size shows in whole pages. Another
    // size is something else's block, which must not be read past its end.
    MEMORY_BASIC_INFORMATION region{};
    const std::size_t page = PageSize();
    if (::VirtualQuery(view, &region, sizeof region) != sizeof region ||
        region.RegionSize != (wanted + page - 1) / page * page) {
        ::UnmapViewOfFile(view);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return OpenResult::Failed;
    }
    address = view;
    size = wanted;
    block = std::move(section);
    return existed ? OpenResult::Opened : OpenResult::Created;
}

void SharedMemory::Close() noexcept
{
    if (address != nullptr) {
        ::UnmapViewOfFile(address);
        address = nullptr;
        size = 0;
    }
    block.Close();
}

bool SharedMemory::Remove(const std::wstring& name, SharedScope scope)
{
    // A section has no name apart from itself: it goes with its last handle
    // and view. What is left is saying whether one is still there.
    HANDLE mapping = ::OpenFileMappingW(FILE_MAP_READ, FALSE, SharedObjectName(name, scope).c_str());
    if (mapping == nullptr)
        return false;
    ::CloseHandle(mapping);
    return true;
}

// Marks are shared locks of one byte on a file of the block's name
// ("NAME.marks"), each holder on a handle of its own: the system drops a
// handle's locks when it is closed or its process ends. The file gets the
// scope's DACL; one that others could change is not used.

bool SharedMark::Open(const std::wstring& name, SharedScope scope)
{
    handle.Close();
    ScopeSecurity security(scope);
    const std::wstring folder = MarksFolder(scope);
    if (security.Get() == nullptr || folder.empty())
        return false;
    const std::wstring path = folder + SharedObjectName(name, scope) + L".marks";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                security.Get(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plainFile = ::GetFileInformationByHandle(file, &info) &&
                           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (!plainFile || !IsTrustedObject(file, SE_FILE_OBJECT, scope)) {
        ::CloseHandle(file);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    handle.Reset(HandleOf(file));
    return true;
}

bool SharedMark::Hold(std::size_t offset)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    // Waits rather than fails: the only exclusive locks are other holders'
    // probes (below), which go at once.
    return handle.IsValid() && ::LockFileEx(ToHandle(handle.Get()), 0, 0, 1, 0, &at);
}

bool SharedMark::IsHeldByOthers(std::size_t offset) const
{
    // An exclusive lock conflicts with any other holder's mark. It conflicts
    // with this holder's own mark too (Windows never upgrades a lock), so a
    // byte this holder marks reads as held: the safe answer for a record.
    if (!handle.IsValid())
        return false;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    HANDLE file = ToHandle(handle.Get());
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return ::GetLastError() == ERROR_LOCK_VIOLATION;
    ::UnlockFileEx(file, 0, 1, 0, &at);
    return false;
}

}  // namespace Quillet::Platform
