// The key endpoint's client on Windows: offers a job to each server's pipe of
// the endpoint in turn, after checking whose process serves it.
#include "platform/win32/Internal.h"

#include "platform/FileHandle.h"
#include "platform/IpcClient.h"
#include "platform/TextConversion.h"
#include "platform/ZIpcServer.h"
#include "platform/win32/MessagePipe.h"

#include <algorithm>
#include <string>
#include <vector>

namespace Quillet::Platform {

namespace {

// How long a server may take to answer an identity. A server serves one
// client at a time and gives a silent one 2 s, so a busy server is waited for
// a little longer than that before the next one is tried.
constexpr DWORD kIdentityReplyMs = 5000;
// How long a server whose every instance is taken is waited for.
constexpr DWORD kBusyWaitMs = 1000;

/// The pipe of one server, opened for messages; kInvalidHandle when there is
/// no such server or it stayed busy. The server may learn who we are, but
/// never act as us (identification only).
UniqueHandle Connect(const std::wstring& name)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        HANDLE pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            UniqueHandle owned(HandleOf(pipe));
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr))
                return UniqueHandle();
            return owned;
        }
        if (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeW(name.c_str(), kBusyWaitMs))
            break;
    }
    return UniqueHandle();
}

bool SendBytes(HANDLE pipe, const std::string& bytes)
{
    PipeOperation write;
    DWORD count = 0;
    if (!write.StartWrite(pipe, bytes.data(), static_cast<DWORD>(bytes.size())) ||
        write.Wait({}, kIdentityReplyMs) != WAIT_OBJECT_0)
        return false;
    return write.Finish(count) && count == bytes.size();
}

/// The one-byte reply, or -1 when none came within timeoutMs.
int ReceiveReply(HANDLE pipe, DWORD timeoutMs)
{
    PipeOperation read;
    unsigned char reply[ZIpcServer::kMaxMessage];
    DWORD count = 0;
    if (!read.StartRead(pipe, reply, sizeof reply) || read.Wait({}, timeoutMs) != WAIT_OBJECT_0)
        return -1;
    return read.Finish(count) && count == 1 ? reply[0] : -1;
}

/// The SID of the account user (this process's for an empty name).
std::vector<BYTE> LookUpUser(const std::wstring& user)
{
    if (user.empty())
        return ProcessUserSid();
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    ::LookupAccountNameW(nullptr, user.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0)
        return {};
    std::vector<BYTE> sid(sidSize);
    std::wstring domain(domainSize, L'\0');
    if (!::LookupAccountNameW(nullptr, user.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use) ||
        use != SidTypeUser)
        return {};
    return sid;
}

}  // namespace

IpcReportResult ReportJob(const std::wstring& name, const std::wstring& identity,
                          const std::wstring& keys, int replyTimeoutMs, const std::wstring& jobUser)
{
    const std::wstring first = ZIpcServer::EndpointFolder(name);
    const std::vector<BYTE> jobSid = LookUpUser(jobUser);
    if (first.empty() || jobSid.empty())
        return IpcReportResult::NoServer;
    const std::string identityBytes = ToUtf16LeBytes(identity, ZIpcServer::kMaxMessage / 2);
    const std::string keyBytes = ToUtf16LeBytes(keys, ZIpcServer::kMaxMessage / 2);
    for (int slot = 0; slot < kMaxPipeServers; ++slot) {
        const UniqueHandle pipe = Connect(PipeSlotName(first, slot));
        if (!pipe.IsValid())
            continue;  // no server in this slot, or one that stays busy
        const HANDLE handle = ToHandle(pipe.Get());
        // Whoever made the pipe, the process that serves it must be trusted
        // before it learns anything about the job.
        if (!PipePeerIsOneOf(handle, false, jobSid))
            continue;
        if (!SendBytes(handle, identityBytes) || ReceiveReply(handle, kIdentityReplyMs) != 1)
            continue;  // not this server's job
        if (!SendBytes(handle, keyBytes))
            return IpcReportResult::NoReply;
        return ReceiveReply(handle, static_cast<DWORD>(std::max(replyTimeoutMs, 0))) == 1
                   ? IpcReportResult::Delivered
                   : IpcReportResult::NoReply;
    }
    return IpcReportResult::NoServer;
}

}  // namespace Quillet::Platform
