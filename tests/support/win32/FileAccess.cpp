// A folder every user may write in (a DACL entry for Everyone), a byte range
// locked by a handle of its own (LockFileEx) and a named pipe's server
// (CreateNamedPipeW), on Windows.
#include <windows.h>

#include "support/FileAccess.h"

#include "platform/FileHandle.h"

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

std::thread ServePipe(const std::wstring& name, const std::string& text, int delayMs, bool* made)
{
    const HANDLE pipe = ::CreateNamedPipeW(Quillet::Platform::PipePath(name).c_str(),
                                           PIPE_ACCESS_OUTBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                           PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536, 65536, 0,
                                           nullptr);
    *made = pipe != INVALID_HANDLE_VALUE;
    if (!*made)
        return std::thread([] {});
    return std::thread([pipe, text, delayMs] {
        // Waits for the reader; one that came first is connected already.
        if (::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
            ::Sleep(static_cast<DWORD>(delayMs));
            DWORD written = 0;
            ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            ::FlushFileBuffers(pipe);  // until the reader has it all
        }
        ::CloseHandle(pipe);
    });
}

}  // namespace QuilletTest
