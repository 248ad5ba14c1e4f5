// ZIpcServer on POSIX: one SOCK_SEQPACKET Unix socket per server in the
// endpoint's folder, peers checked by their credentials, blocked calls woken
// through an eventfd and shutdown().
#include "platform/ZIpcServer.h"

#include "platform/posix/Internal.h"

#include "platform/FileHandle.h"
#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace Quillet {

using Platform::UniqueHandle;

namespace {

const char kIpcRoot[] = "/tmp/.quillet-ipc";

int Fd(const UniqueHandle& handle)
{
    return Fd(handle.Get());
}

// Creates a shared folder like /tmp itself: everyone may add entries, only an
// entry's owner may remove it. The mode is set explicitly because the umask
// would strip the bits for others. An existing folder is used only when it is
// a real folder (not a link) owned by root with the sticky bit, where nobody
// can replace another's socket, or owned by this process's user; one that
// someone else planted is refused.
bool EnsureSharedFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 01777) == 0)
        ::chmod(path.c_str(), 01777);
    else if (errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    return (info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0) || info.st_uid == ::geteuid();
}

// The print system's user, whose backends report the jobs.
bool LookUpPrintUser(uid_t& uid)
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[1024];
    if (::getpwnam_r("lp", &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return false;
    uid = found->pw_uid;
    return true;
}

// Removes sockets left behind by our own servers whose process has gone.
// Socket names begin with the owning process id.
void RemoveStaleSockets(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    const uid_t self = ::geteuid();
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = folder + name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != self)
            continue;
        const long pid = std::strtol(name.c_str(), nullptr, 10);
        if (pid > 0 && !ZUtilities::IsProcessAlive(static_cast<std::uint32_t>(pid)))
            ::unlink(path.c_str());
    }
    ::closedir(dir);
}

// Milliseconds left until deadline, for poll(); -1 without a deadline.
int Remaining(bool bounded, std::chrono::steady_clock::time_point deadline)
{
    if (!bounded)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::atomic<unsigned> socketCounter{0};

// Connections accepted but not yet heard from. They wait side by side, each
// with its own silence budget, so that silent clients cannot hold up the one
// that speaks; past this many the oldest is dropped.
constexpr std::size_t kMaxWaitingClients = 64;

struct WaitingClient {
    UniqueHandle socket;
    std::chrono::steady_clock::time_point deadline;
};

}  // namespace

struct ZIpcServer::Impl {
    std::string socketPath;
    UniqueHandle listener;
    UniqueHandle stopEvent;
    uid_t ownUid = 0;
    uid_t printUid = 0;
    bool havePrintUid = false;
    std::atomic<bool> stopped{false};
    // Used by the accepting thread only.
    std::vector<WaitingClient> waiting;

    // The connected client. Shared so that a Receive in progress keeps the
    // descriptor open (and its number from being reused) while another thread
    // disconnects the client: that thread only shuts the socket down, which
    // wakes the Receive, and the last holder closes it.
    std::mutex clientLock;
    std::shared_ptr<UniqueHandle> client;

    std::shared_ptr<UniqueHandle> GetClient()
    {
        std::lock_guard<std::mutex> guard(clientLock);
        return client;
    }

    // Disconnects c if it is still the current client.
    void Drop(const std::shared_ptr<UniqueHandle>& c)
    {
        std::lock_guard<std::mutex> guard(clientLock);
        if (client == c && client) {
            ::shutdown(Fd(*client), SHUT_RDWR);
            client.reset();
        }
    }

    bool MayServe(int fd) const
    {
        struct ucred peer {};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
            return false;
        return peer.uid == 0 || peer.uid == ownUid || (havePrintUid && peer.uid == printUid);
    }
};

ZIpcServer::ZIpcServer(const ZString& name) : impl(std::make_unique<Impl>())
{
    impl->ownUid = ::geteuid();
    impl->havePrintUid = LookUpPrintUser(impl->printUid);
    impl->stopEvent.Reset(Platform::HandleOf(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));

    const std::wstring folder = EndpointFolder(name.Str());
    if (folder.empty() || !impl->stopEvent.IsValid())
        return;
    const std::string folderPath = ToUtf8(folder);
    if (!EnsureSharedFolder(kIpcRoot) ||
        !EnsureSharedFolder(folderPath.substr(0, folderPath.size() - 1)))
        return;
    RemoveStaleSockets(folderPath);

    const std::string path = folderPath + std::to_string(::getpid()) + "." +
                             std::to_string(socketCounter.fetch_add(1));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    UniqueHandle listener(Platform::HandleOf(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)));
    if (!listener.IsValid())
        return;
    ::unlink(path.c_str());  // a leftover of a process with our id that died
    if (::bind(Fd(listener), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return;
    // The print path runs as another user: it needs write access to connect.
    // Who may actually talk to us is decided by the peer's credentials.
    ::chmod(path.c_str(), 0777);
    if (::listen(Fd(listener), 16) != 0) {
        ::unlink(path.c_str());
        return;
    }
    impl->socketPath = path;
    impl->listener = std::move(listener);
}

ZIpcServer::~ZIpcServer()
{
    CloseCurrentClient();
    if (impl->listener.IsValid()) {
        impl->listener.Close();
        ::unlink(impl->socketPath.c_str());
    }
}

bool ZIpcServer::IsListening() const
{
    return impl->listener.IsValid() && !impl->stopped.load();
}

std::wstring ZIpcServer::GetSocketPath() const
{
    return impl->listener.IsValid() ? FromUtf8(impl->socketPath) : std::wstring();
}

tagZBASESTAT ZIpcServer::AcceptClient(std::uint32_t timeoutMs)
{
    CloseCurrentClient();
    if (!impl->listener.IsValid())
        return ZBASE_FAILED;
    const bool bounded = timeoutMs != kInfinite;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<WaitingClient>& waiting = impl->waiting;
    std::vector<pollfd> entries;
    for (;;) {
        if (impl->stopped.load())
            return ZBASE_STOPPED;
        // Silent clients whose budget is spent count as gone.
        const auto now = std::chrono::steady_clock::now();
        auto wake = deadline;
        bool anyDeadline = bounded;
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (it->deadline <= now) {
                it = waiting.erase(it);
                continue;
            }
            if (!anyDeadline || it->deadline < wake)
                wake = it->deadline;
            anyDeadline = true;
            ++it;
        }
        entries.assign({{Fd(impl->listener), POLLIN, 0}, {Fd(impl->stopEvent), POLLIN, 0}});
        for (const WaitingClient& client : waiting)
            entries.push_back({Fd(client.socket), POLLIN | POLLRDHUP, 0});
        const int ready = ::poll(entries.data(), entries.size(), Remaining(anyDeadline, wake));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return ZBASE_FAILED;
        }
        if (entries[1].revents != 0 || impl->stopped.load())
            return ZBASE_STOPPED;
        // The first client that has spoken (or hung up: Receive tells) is served.
        for (std::size_t i = 2; i < entries.size(); ++i) {
            if (entries[i].revents == 0)
                continue;
            auto taken = std::make_shared<UniqueHandle>(std::move(waiting[i - 2].socket));
            waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i - 2));
            std::lock_guard<std::mutex> guard(impl->clientLock);
            impl->client = std::move(taken);
            return ZBASE_OK;
        }
        if (entries[0].revents != 0) {
            for (;;) {
                UniqueHandle peer(Platform::HandleOf(::accept4(Fd(impl->listener), nullptr, nullptr, SOCK_CLOEXEC)));
                if (!peer.IsValid())
                    break;  // none left, or the connection went away before we took it
                if (!impl->MayServe(Fd(peer)))
                    continue;  // closed here: another user's process is not served
                if (waiting.size() >= kMaxWaitingClients)
                    waiting.erase(waiting.begin());
                waiting.push_back({std::move(peer), std::chrono::steady_clock::now() +
                                                        std::chrono::milliseconds(kClientSilenceMs)});
            }
        }
        if (bounded && std::chrono::steady_clock::now() >= deadline)
            return ZBASE_TIMEOUT;
    }
}

tagZBASESTAT ZIpcServer::Receive(void* buffer, std::uint32_t& len)
{
    const std::uint32_t capacity = len;
    len = 0;
    const std::shared_ptr<UniqueHandle> client = impl->GetClient();
    if (!client)
        return impl->stopped.load() ? ZBASE_STOPPED : ZBASE_FAILED;
    const int fd = Fd(*client);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientSilenceMs);
    for (;;) {
        pollfd entries[2] = {{fd, POLLIN | POLLRDHUP, 0}, {Fd(impl->stopEvent), POLLIN, 0}};
        const int ready = ::poll(entries, 2, Remaining(true, deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (entries[1].revents != 0 || impl->stopped.load())
            return ZBASE_STOPPED;
        if (ready <= 0) {
            impl->Drop(client);  // silent too long (or poll failed): gone
            return ZBASE_DISCONNECTED;
        }
        const bool hungUp = (entries[0].revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
        // A message's true length, whatever room we have. 0 is either an
        // empty message or the end of the connection; the hang-up flags tell
        // them apart. A message sent just before the peer hung up still counts.
        const ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size > 0) {
            if (static_cast<std::uint64_t>(size) > capacity || size > static_cast<ssize_t>(kMaxMessage)) {
                impl->Drop(client);
                return ZBASE_DISCONNECTED;
            }
            const ssize_t got = ::recv(fd, buffer, static_cast<std::size_t>(size), MSG_DONTWAIT);
            if (got != size) {
                impl->Drop(client);
                return ZBASE_DISCONNECTED;
            }
            len = static_cast<std::uint32_t>(got);
            return ZBASE_OK;
        }
        if (size == 0 && !hungUp) {
            char none;
            ::recv(fd, &none, 0, MSG_DONTWAIT);  // take the empty message off the queue
            return ZBASE_OK;
        }
        if (size < 0 && (errno == EAGAIN || errno == EINTR) && !hungUp)
            continue;
        impl->Drop(client);
        return ZBASE_DISCONNECTED;
    }
}

tagZBASESTAT ZIpcServer::Send(const void* buffer, std::uint32_t len)
{
    const std::shared_ptr<UniqueHandle> client = impl->GetClient();
    if (!client || len > kMaxMessage)
        return ZBASE_FAILED;
    const int fd = Fd(*client);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientSilenceMs);
    for (;;) {
        // MSG_NOSIGNAL: a client that has gone must not end the host with SIGPIPE.
        const ssize_t sent = ::send(fd, buffer, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(len))
            return ZBASE_OK;
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd entries[2] = {{fd, POLLOUT, 0}, {Fd(impl->stopEvent), POLLIN, 0}};
            const int ready = ::poll(entries, 2, Remaining(true, deadline));
            const bool interrupted = ready < 0 && errno == EINTR;
            if (entries[1].revents != 0 || impl->stopped.load())
                return ZBASE_STOPPED;
            if (ready > 0 || interrupted)
                continue;
        }
        impl->Drop(client);
        return ZBASE_DISCONNECTED;
    }
}

void ZIpcServer::CloseCurrentClient()
{
    std::lock_guard<std::mutex> guard(impl->clientLock);
    if (impl->client) {
        ::shutdown(Fd(*impl->client), SHUT_RDWR);
        impl->client.reset();
    }
}

void ZIpcServer::StopAcceptClients()
{
    impl->stopped.store(true);
    if (impl->stopEvent.IsValid()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(Fd(impl->stopEvent), &one, sizeof one);
    }
}

std::wstring ZIpcServer::EndpointFolder(const std::wstring& name)
{
    if (name.empty() || name == L"." || name == L".." ||
        name.find_first_of(std::wstring(L"/\0", 2)) != std::wstring::npos)
        return std::wstring();
    return FromUtf8(kIpcRoot) + L"/" + name + L"/";
}

}  // namespace Quillet
