// EndpointClient on POSIX: a SOCK_SEQPACKET Unix socket.
#include "support/EndpointClient.h"

#include "platform/TextConversion.h"

#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace QuilletTest {

struct EndpointClient::Impl {
    int fd = -1;
    bool connected = false;
};

EndpointClient::EndpointClient(const std::wstring& path) : impl(std::make_unique<Impl>())
{
    impl->fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Quillet::ToUtf8(path).c_str());
    impl->connected = ::connect(impl->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

EndpointClient::~EndpointClient()
{
    Close();
}

bool EndpointClient::IsConnected() const
{
    return impl->connected;
}

bool EndpointClient::Send(const std::string& bytes)
{
    return ::send(impl->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string EndpointClient::Receive()
{
    pollfd entry{impl->fd, POLLIN, 0};
    if (::poll(&entry, 1, 10000) <= 0)
        return "<none>";
    char buffer[2048];
    const ssize_t got = ::recv(impl->fd, buffer, sizeof buffer, 0);
    if (got <= 0)
        return "<eof>";
    return std::string(buffer, static_cast<std::size_t>(got));
}

void EndpointClient::Close()
{
    if (impl->fd >= 0)
        ::close(impl->fd);
    impl->fd = -1;
}

}  // namespace QuilletTest
