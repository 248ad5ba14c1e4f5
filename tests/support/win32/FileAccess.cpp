// A folder every user may write in (a DACL entry for Everyone) and a byte
// range locked by a handle of its own (LockFileEx), on Windows.
#include <windows.h>

#include "support/FileAccess.h"

#include <aclapi.h>
#include <sddl.h>

namespace QuilletTest {

bool LetEveryoneWrite(const std::wstring& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                                nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    const bool done = ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                      ::SetNamedSecurityInfoW(const_cast<LPWSTR>(folder.c_str()), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                              nullptr) == ERROR_SUCCESS;
    ::LocalFree(descriptor);
    return done;
}

std::shared_ptr<void> LockForWriting(const std::wstring& path, std::uint64_t offset, std::uint64_t length)
{
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, static_cast<DWORD>(length),
                      static_cast<DWORD>(length >> 32), &at)) {
        ::CloseHandle(file);
        return nullptr;
    }
    // Closing the handle lets its locks go.
    return std::shared_ptr<void>(file, [](void* held) { ::CloseHandle(static_cast<HANDLE>(held)); });
}

}  // namespace QuilletTest
