// Pipes on Windows: anonymous pipes can be neither waited for nor read
// without blocking, so a pipe is a named pipe of one instance under a name
// no other pipe has, both ends opened FILE_FLAG_OVERLAPPED (a child that
// reads or writes its end synchronously is served all the same: the system
// waits for its transfer), its reads and writes completing on events. A
// reader whose writer has gone sees ERROR_BROKEN_PIPE: the end.
#include "platform/win32/PipeIo.h"

#include "platform/SystemError.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>

namespace Quillet::Platform {

namespace {

/// Each direction's buffer; the system takes it as a hint and grows it for
/// a write that does not fit while a read waits.
constexpr DWORD kPipeBytes = 64 * 1024;
/// The largest transfer one call makes.
constexpr std::size_t kMostPerCall = 1u << 30;

/// The handles switched to non-blocking transfers. A named pipe's own
/// non-blocking mode (PIPE_NOWAIT) would also end the waiting reads the event
/// loop uses to learn that bytes have arrived, so the mode is kept here;
/// CreatePipe clears it for the handle values it hands out, which may be
/// those of closed pipes.
std::mutex nonBlockingLock;
std::set<HANDLE> nonBlocking;

bool IsNonBlocking(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(nonBlockingLock);
    return nonBlocking.count(handle) != 0;
}

/// A manual-reset event per thread for its transfers, closed with the thread.
struct ThreadEvent {
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~ThreadEvent()
    {
        if (handle != nullptr)
            ::CloseHandle(handle);
    }
};

std::wstring PipeName(const wchar_t* stem, unsigned attempt)
{
    static std::atomic<unsigned long> counter{0};
    std::wstring name = L"\\\\.\\pipe\\" + std::wstring(stem != nullptr ? stem : L"quillet") + L"_" +
                        std::to_wstring(::GetCurrentProcessId());
    // A stem of the caller's tries its plain name first; every other name
    // is made unique by a count and the time, which another process cannot
    // have used before us.
    if (stem == nullptr || attempt > 0) {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        name += L"_" + std::to_wstring(counter++) + L"_" + std::to_wstring(now.QuadPart);
    }
    return name;
}

}  // namespace

namespace Win32 {

DWORD Transfer(HANDLE handle, bool write, void* buffer, DWORD size, bool wait, DWORD& count)
{
    count = 0;
    thread_local ThreadEvent event;
    if (event.handle == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    // A file opened for synchronous transfers is read and written at its
    // position, which an OVERLAPPED's offset would replace.
    if (::GetFileType(handle) != FILE_TYPE_PIPE) {
        const BOOL ok = write ? ::WriteFile(handle, buffer, size, &count, nullptr)
                              : ::ReadFile(handle, buffer, size, &count, nullptr);
        return ok ? 0 : ::GetLastError();
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.handle;
    BOOL ok = write ? ::WriteFile(handle, buffer, size, nullptr, &overlapped)
                    : ::ReadFile(handle, buffer, size, nullptr, &overlapped);
    DWORD error = ok ? 0 : ::GetLastError();
    if (ok || error == ERROR_IO_PENDING) {
        if (!ok && !wait)
            ::CancelIoEx(handle, &overlapped);
        // Waited for even when cancelled: the OVERLAPPED and the buffer are
        // the system's until the transfer is complete.
        ok = ::GetOverlappedResult(handle, &overlapped, &count, TRUE);
        error = ok ? 0 : ::GetLastError();
    }
    return error;
}

IoStatus ReadArrived(HANDLE pipe, void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        const DWORD error = ::GetLastError();
        if (IsPipeGone(error))
            return IoStatus::End;
        ::SetLastError(error);
        return IoStatus::Error;
    }
    if (available == 0)
        return size == 0 ? IoStatus::Ok : IoStatus::WouldBlock;
    DWORD done = 0;
    const DWORD error = Transfer(pipe, false, buffer,
                                 static_cast<DWORD>(std::min<std::size_t>({size, available, kMostPerCall})), true, done);
    count = done;
    if (error == 0)
        return IoStatus::Ok;
    if (IsPipeGone(error))
        return IoStatus::End;
    ::SetLastError(error);
    return IoStatus::Error;
}

}  // namespace Win32

bool CreatePipe(PipePair& out, const wchar_t* nameStem)
{
    out.read.Reset();
    out.write.Reset();
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
        const std::wstring name = PipeName(nameStem, attempt);
        // One instance, made by us first: nobody can have made a server of
        // this name that our write end would reach instead, and no second
        // instance can be made under it. Default security: this user, the
        // system and administrators only. Not inherited.
        UniqueHandle server(HandleOf(::CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBytes, kPipeBytes,
            0, nullptr)));
        if (!server.IsValid()) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)
                continue;  // the name is taken
            return false;
        }
        // Identification only: the server end learns who we are, it cannot
        // act as us (it is ours anyway).
        UniqueHandle client(HandleOf(::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                                   OPEN_EXISTING,
                                                   FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                                   nullptr)));
        if (!client.IsValid()) {
            if (::GetLastError() == ERROR_PIPE_BUSY)
                continue;  // someone else connected first
            return false;
        }
        // Another process that opened the instance first would have left
        // ours busy; the connection is made, so waiting for one completes at
        // once.
        OVERLAPPED overlapped{};
        if (!::ConnectNamedPipe(ToHandle(server.Get()), &overlapped)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_PENDING) {
                DWORD ignored = 0;
                ::CancelIoEx(ToHandle(server.Get()), &overlapped);
                ::GetOverlappedResult(ToHandle(server.Get()), &overlapped, &ignored, TRUE);
                ::SetLastError(ERROR_PIPE_NOT_CONNECTED);
                return false;
            }
            if (error != ERROR_PIPE_CONNECTED)
                return false;
        }
        {
            std::lock_guard<std::mutex> guard(nonBlockingLock);
            nonBlocking.erase(ToHandle(server.Get()));
            nonBlocking.erase(ToHandle(client.Get()));
        }
        out.read = std::move(server);
        out.write = std::move(client);
        return true;
    }
    ::SetLastError(ERROR_PIPE_BUSY);
    return false;
}

bool SetNonBlocking(NativeHandle handle, bool on)
{
    if (!handle.IsValid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::lock_guard<std::mutex> guard(nonBlockingLock);
    if (on)
        nonBlocking.insert(ToHandle(handle));
    else
        nonBlocking.erase(ToHandle(handle));
    return true;
}

bool SetPipeCapacity(NativeHandle, std::size_t)
{
    // A named pipe's buffers are fixed when it is made.
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

IoStatus ReadSome(NativeHandle handle, void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    const HANDLE pipe = ToHandle(handle);
    if (IsNonBlocking(pipe) && ::GetFileType(pipe) == FILE_TYPE_PIPE)
        return Win32::ReadArrived(pipe, buffer, size, count);
    DWORD done = 0;
    const DWORD error =
        Win32::Transfer(pipe, false, buffer, static_cast<DWORD>(std::min(size, kMostPerCall)), true, done);
    count = done;
    if (error == 0)
        return done > 0 || size == 0 ? IoStatus::Ok : IoStatus::End;
    if (Win32::IsPipeGone(error))
        return IoStatus::End;
    ::SetLastError(error);
    return IoStatus::Error;
}

IoStatus WriteSome(NativeHandle handle, const void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    const HANDLE pipe = ToHandle(handle);
    const bool wait = !IsNonBlocking(pipe);
    DWORD done = 0;
    const DWORD error = Win32::Transfer(pipe, true, const_cast<void*>(buffer),
                                        static_cast<DWORD>(std::min(size, kMostPerCall)), wait, done);
    count = done;
    if (done > 0 || (error == 0 && size == 0))
        return IoStatus::Ok;
    if (error == ERROR_OPERATION_ABORTED && !wait)
        return IoStatus::WouldBlock;
    // A pipe whose reader has gone: an error, and no signal exists to end us.
    ::SetLastError(error != 0 ? error : ERROR_WRITE_FAULT);
    return IoStatus::Error;
}

int PipeCapacity(NativeHandle handle)
{
    DWORD outBytes = 0, inBytes = 0;
    if (!::GetNamedPipeInfo(ToHandle(handle), nullptr, &outBytes, &inBytes, nullptr))
        return -1;
    // Our pipes carry bytes into their server end: its input buffer.
    return static_cast<int>(inBytes);
}

}  // namespace Quillet::Platform
