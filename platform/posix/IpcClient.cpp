// The key endpoint's client on POSIX: offers a job to each server socket of
// the endpoint's folder in turn.
#include "platform/IpcClient.h"

#include "platform/FileHandle.h"
#include "platform/TextConversion.h"
#include "platform/ZIpcServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace Quillet::Platform {

namespace {

// How long a server may take to answer an identity. A server serves one
// client at a time and gives a silent one 2 s, so a busy server is waited for
// a little longer than that before the next one is tried.
constexpr int kIdentityReplyMs = 5000;

std::string ToWire(const std::wstring& text)
{
    std::u16string units = ToUtf16(text);
    units.resize(std::min<std::size_t>(units.size(), ZIpcServer::kMaxMessage / 2));
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

// Sends one message; a full socket is waited for, at most kIdentityReplyMs.
bool SendMessage(int fd, const std::string& bytes)
{
    for (;;) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<std::size_t>(sent) == bytes.size();
        if (errno == EAGAIN) {
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, kIdentityReplyMs) <= 0)
                return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

// The one-byte reply, or -1 when none came within timeoutMs.
int ReceiveReply(int fd, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left < 0 ? 0 : static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        unsigned char reply[ZIpcServer::kMaxMessage];
        const ssize_t got = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return got == 1 ? reply[0] : -1;
    }
}

UniqueHandle Connect(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return UniqueHandle();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking connect: a server whose queue is full is passed over
    // instead of holding the print path up.
    UniqueHandle socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.IsValid() ||
        ::connect(static_cast<int>(socket.Get()), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return UniqueHandle();
    return socket;
}

std::vector<std::string> ServerSockets(const std::string& folder)
{
    std::vector<std::string> sockets;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return sockets;
    while (dirent* entry = ::readdir(dir)) {
        const std::string path = folder + entry->d_name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
            sockets.push_back(path);
    }
    ::closedir(dir);
    std::sort(sockets.begin(), sockets.end());
    return sockets;
}

}  // namespace

IpcReportResult ReportJob(const std::wstring& name, const std::wstring& identity,
                          const std::wstring& keys, int replyTimeoutMs)
{
    const std::wstring folder = ZIpcServer::EndpointFolder(name);
    if (folder.empty())
        return IpcReportResult::NoServer;
    const std::string identityBytes = ToWire(identity);
    const std::string keyBytes = ToWire(keys);
    for (const std::string& path : ServerSockets(ToUtf8(folder))) {
        UniqueHandle socket = Connect(path);
        if (!socket.IsValid())
            continue;  // stale or overloaded
        const int fd = static_cast<int>(socket.Get());
        if (!SendMessage(fd, identityBytes) || ReceiveReply(fd, kIdentityReplyMs) != 1)
            continue;  // not this server's job
        if (!SendMessage(fd, keyBytes))
            return IpcReportResult::NoReply;
        return ReceiveReply(fd, replyTimeoutMs) == 1 ? IpcReportResult::Delivered
                                                     : IpcReportResult::NoReply;
    }
    return IpcReportResult::NoServer;
}

}  // namespace Quillet::Platform
