// The key endpoint's client on POSIX: offers a job to each server socket of
// the endpoint's folder in turn.
#include "platform/IpcClient.h"

#include "platform/posix/Internal.h"

#include "platform/FileHandle.h"
#include "platform/TextConversion.h"
#include "platform/ZIpcServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
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

// Connects to the socket name inside the folder open as folderFd. The path
// goes through the folder's descriptor, so a folder swapped after it was
// checked is never followed.
UniqueHandle Connect(int folderFd, const std::string& name)
{
    const std::string path = "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return UniqueHandle();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking connect: a server whose queue stays full (someone flooding
    // it) is passed over after a short while instead of holding the print
    // path up. A server takes waiting connections at once, so a full queue
    // usually drains within milliseconds.
    UniqueHandle socket(HandleOf(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)));
    if (!socket.IsValid())
        return UniqueHandle();
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (::connect(Fd(socket.Get()), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return socket;
        if (errno != EAGAIN && errno != EINTR)
            break;
        ::poll(nullptr, 0, 25);
    }
    return UniqueHandle();
}

bool Trusted(uid_t owner, uid_t jobUid)
{
    return owner == 0 || owner == jobUid;
}

// Opens folder (under parentFd, or an absolute path when parentFd is
// AT_FDCWD) without following a link, and keeps it only when it may hold
// servers of jobUid: owned by root and sticky, so that nobody can replace
// another's entries, or owned by jobUid itself.
UniqueHandle OpenTrustedFolder(int parentFd, const std::string& folder, uid_t jobUid)
{
    UniqueHandle fd(HandleOf(::openat(parentFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
    struct stat info {};
    if (!fd.IsValid() || ::fstat(Fd(fd.Get()), &info) != 0 || !S_ISDIR(info.st_mode))
        return UniqueHandle();
    const bool rootSticky = info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0;
    if (!rootSticky && info.st_uid != jobUid)
        return UniqueHandle();
    return fd;
}

// The names of the sockets in the folder that jobUid or root own, in name order.
std::vector<std::string> ServerSockets(int folderFd, uid_t jobUid)
{
    std::vector<std::string> sockets;
    DIR* dir = ::fdopendir(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    if (dir == nullptr)
        return sockets;
    while (dirent* entry = ::readdir(dir)) {
        struct stat info {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode) &&
            Trusted(info.st_uid, jobUid))
            sockets.push_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(sockets.begin(), sockets.end());
    return sockets;
}

bool PeerIsTrusted(int fd, uid_t jobUid)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
           Trusted(peer.uid, jobUid);
}

bool LookUpUser(const std::wstring& user, uid_t& uid)
{
    if (user.empty()) {
        uid = ::geteuid();
        return true;
    }
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwnam_r(ToUtf8(user).c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return false;
    uid = found->pw_uid;
    return true;
}

}  // namespace

IpcReportResult ReportJob(const std::wstring& name, const std::wstring& identity,
                          const std::wstring& keys, int replyTimeoutMs, const std::wstring& jobUser)
{
    const std::wstring folder = ZIpcServer::EndpointFolder(name);
    uid_t jobUid = 0;
    if (folder.empty() || !LookUpUser(jobUser, jobUid))
        return IpcReportResult::NoServer;
    // folder is "<root>/<name>/": check the root, then the name inside it.
    const std::string native = ToUtf8(folder.substr(0, folder.size() - 1));
    const std::size_t slash = native.find_last_of('/');
    const UniqueHandle root = OpenTrustedFolder(AT_FDCWD, native.substr(0, slash), jobUid);
    if (!root.IsValid())
        return IpcReportResult::NoServer;
    const UniqueHandle endpoint = OpenTrustedFolder(Fd(root.Get()), native.substr(slash + 1), jobUid);
    if (!endpoint.IsValid())
        return IpcReportResult::NoServer;
    const int folderFd = Fd(endpoint.Get());

    const std::string identityBytes = ToUtf16LeBytes(identity, ZIpcServer::kMaxMessage / 2);
    const std::string keyBytes = ToUtf16LeBytes(keys, ZIpcServer::kMaxMessage / 2);
    for (const std::string& socketName : ServerSockets(folderFd, jobUid)) {
        UniqueHandle socket = Connect(folderFd, socketName);
        if (!socket.IsValid())
            continue;  // stale or overloaded
        const int fd = Fd(socket.Get());
        // Whoever bound the socket, the process that serves it must be
        // trusted before it learns anything about the job.
        if (!PeerIsTrusted(fd, jobUid))
            continue;
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
