// What the key endpoint's server and client on Windows share: the names of
// the servers' pipes, overlapped operations on a pipe that wait on events,
// and whose process is at the other end. Internal to the Windows platform
// layer.
#pragma once

#include "platform/win32/Internal.h"

#include "platform/win32/SharedObject.h"

#include <string>
#include <vector>

namespace Quillet::Platform {

/// How many servers may serve one endpoint at once: each takes the first free
/// pipe name of the endpoint's, and a client tries them all in order.
constexpr int kMaxPipeServers = 64;

/// The pipe of server slot of the endpoint whose first pipe is first: first
/// itself, then first.1, first.2 ...
inline std::wstring PipeSlotName(const std::wstring& first, int slot)
{
    return slot == 0 ? first : first + L"." + std::to_wstring(slot);
}

/// One overlapped operation at a time on a pipe, completing on an event of
/// its own (manual reset). An operation still in flight when the object goes
/// is cancelled and waited for, so the system never writes to freed memory.
class PipeOperation {
public:
    PipeOperation() : event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~PipeOperation()
    {
        Cancel();
        if (event != nullptr)
            ::CloseHandle(event);
    }
    PipeOperation(const PipeOperation&) = delete;
    PipeOperation& operator=(const PipeOperation&) = delete;

    bool IsReady() const { return event != nullptr; }
    HANDLE Event() const { return event; }

    /// Starts a read of one message into buffer; false when it failed at once
    /// (the thread's last error tells why). The end shows on Event().
    bool StartRead(HANDLE pipe, void* buffer, DWORD size) { return Start(pipe, buffer, size, false); }
    bool StartWrite(HANDLE pipe, const void* buffer, DWORD size)
    {
        return Start(pipe, const_cast<void*>(buffer), size, true);
    }
    /// Waits for a connection on a server's pipe instance; a client that came
    /// before the call completes it at once.
    bool StartConnect(HANDLE pipe)
    {
        if (!Prepare(pipe))
            return false;
        if (::ConnectNamedPipe(pipe, &overlapped) || ::GetLastError() == ERROR_IO_PENDING)
            return true;
        pending = false;
        if (::GetLastError() != ERROR_PIPE_CONNECTED)
            return false;
        ::SetEvent(event);  // connected already: complete now, with success
        connectedEarly = true;
        return true;
    }

    /// The result of the operation whose event is set: true with its byte
    /// count, or false with the thread's last error (ERROR_MORE_DATA for a
    /// message longer than the buffer, ERROR_BROKEN_PIPE or
    /// ERROR_PIPE_NOT_CONNECTED for a peer that has gone).
    bool Finish(DWORD& count)
    {
        count = 0;
        if (!pending) {
            ::SetLastError(connectedEarly ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
            return connectedEarly;
        }
        pending = false;
        return ::GetOverlappedResult(pipe, &overlapped, &count, TRUE) != FALSE;
    }

    /// Cancels the operation in flight and waits until the system is done
    /// with it.
    void Cancel()
    {
        if (!pending)
            return;
        ::CancelIoEx(pipe, &overlapped);
        DWORD count = 0;
        ::GetOverlappedResult(pipe, &overlapped, &count, TRUE);
        pending = false;
    }

    /// Waits at most timeoutMs for the operation, or for one of the extra
    /// handles (a stop, a drop). WAIT_OBJECT_0 + i for extra[i],
    /// WAIT_OBJECT_0 + extra.size() for the operation, WAIT_TIMEOUT.
    DWORD Wait(const std::vector<HANDLE>& extra, DWORD timeoutMs) const
    {
        std::vector<HANDLE> handles(extra);
        handles.push_back(event);
        return ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeoutMs);
    }

private:
    bool Prepare(HANDLE target)
    {
        Cancel();
        if (event == nullptr)
            return false;
        ::ResetEvent(event);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        pipe = target;
        pending = true;
        connectedEarly = false;
        return true;
    }

    bool Start(HANDLE target, void* buffer, DWORD size, bool write)
    {
        if (!Prepare(target))
            return false;
        const BOOL done = write ? ::WriteFile(target, buffer, size, nullptr, &overlapped)
                                : ::ReadFile(target, buffer, size, nullptr, &overlapped);
        // Done at once, a read cut short (its event is set too) or in flight:
        // Finish tells the result.
        if (done || ::GetLastError() == ERROR_IO_PENDING || ::GetLastError() == ERROR_MORE_DATA)
            return true;
        pending = false;
        return false;
    }

    HANDLE event;
    HANDLE pipe = nullptr;
    OVERLAPPED overlapped{};
    bool pending = false;
    bool connectedEarly = false;
};

/// Whether peer is sid or the system account.
inline bool IsUserOrSystem(PSID peer, const std::vector<BYTE>& sid)
{
    return (!sid.empty() && ::EqualSid(peer, const_cast<BYTE*>(sid.data()))) ||
           ::IsWellKnownSid(peer, WinLocalSystemSid);
}

/// Whether the process at the other end of pipe runs as sid or as the system
/// account; server: whether the client process does, else the server's. A
/// system that does not tell a client the server's process (Wine answers 0)
/// is asked for the pipe's owner, its creator.
inline bool PipePeerIsOneOf(HANDLE pipe, bool peerIsClient, const std::vector<BYTE>& sid)
{
    ULONG processId = 0;
    const BOOL known = peerIsClient ? ::GetNamedPipeClientProcessId(pipe, &processId)
                                    : ::GetNamedPipeServerProcessId(pipe, &processId);
    if (!known)
        return false;
    if (processId == 0 && !peerIsClient) {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
            return false;
        const bool trusted = owner != nullptr && IsUserOrSystem(owner, sid);
        ::LocalFree(descriptor);
        return trusted;
    }
    std::vector<BYTE> peer = ProcessIdUserSid(processId);
    return !peer.empty() && IsUserOrSystem(peer.data(), sid);
}

}  // namespace Quillet::Platform
