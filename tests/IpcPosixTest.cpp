// Tests of the job-key endpoint's POSIX sockets: scripted clients that
// misbehave on purpose, the shared folder, and peers of other users.
#include "support/HelperProcess.h"
#include "support/KeyEndpoint.h"
#include "support/PrivateCups.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace Quillet;
using namespace QuilletTest;

namespace {

/// A client that speaks raw messages, so that it can break the protocol.
class ScriptedClient {
public:
    explicit ScriptedClient(const std::wstring& socketPath)
    {
        fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const std::string path = ToUtf8(socketPath);
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~ScriptedClient() { ::close(fd); }
    bool Send(const std::string& bytes)
    {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    /// The next message; "<eof>" when the server disconnected, "<none>" after 10 s.
    std::string Receive()
    {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) <= 0)
            return "<none>";
        char buffer[2048];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return "<eof>";
        return std::string(buffer, static_cast<std::size_t>(got));
    }

    int fd = -1;
    bool connected = false;
};

}  // namespace

TEST(IpcTest, WrongClientsAreRefusedAndTheCaptureGoesOn)
{
    const std::wstring tag = UniqueTag("refuse");
    auto accessor = StartServer(tag);
    const std::wstring socketPath = accessor->GetServer()->GetSocketPath();
    struct stat info {};
    ASSERT_EQ(::stat("/tmp/.quillet-ipc/719D68FD-2A2F-4088-976B-52DC0A22235C", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 01777u);

    // Refused, with exactly one byte 0x00 and a disconnect: another job, the
    // tag in another letter case, and an empty identity.
    std::wstring upper = tag;
    upper[0] = L'T';
    for (const std::string& identity : {Wire(L"some other job"), Wire(upper), std::string()}) {
        ScriptedClient wrong(socketPath);
        ASSERT_TRUE(wrong.Send(identity));
        EXPECT_EQ(wrong.Receive(), kNo);
        EXPECT_EQ(wrong.Receive(), "<eof>");
    }
    {   // Longer than 1024 bytes: treated as gone, no reply.
        ScriptedClient flood(socketPath);
        ASSERT_TRUE(flood.Send(Wire(tag) + std::string(1100, 'x')));
        EXPECT_EQ(flood.Receive(), "<eof>");
    }
    {   // Accepted, then gone before the keys.
        ScriptedClient quitter(socketPath);
        ASSERT_TRUE(quitter.Send(Wire(tag)));
        EXPECT_EQ(quitter.Receive(), kYes);
    }
    {   // The endpoint's name as identity, then empty keys: dropped.
        ScriptedClient empty(socketPath);
        ASSERT_TRUE(empty.Send(Wire(kJobKeyEndpoint)));
        EXPECT_EQ(empty.Receive(), kYes);
        ASSERT_TRUE(empty.Send(std::string()));
        EXPECT_EQ(empty.Receive(), "<eof>");
    }
    for (int how : {SHUT_RD, SHUT_RDWR}) {
        // No longer reading its 0x00 reply, or gone before it.
        ScriptedClient rude(socketPath);
        ASSERT_TRUE(rude.Send(Wire(L"some other job")));
        ::shutdown(rude.fd, how);
    }
    {   // Silent clients, far more than are kept waiting, hold up nobody.
        std::vector<std::unique_ptr<ScriptedClient>> silent;
        for (int i = 0; i < 200; ++i)
            silent.push_back(std::make_unique<ScriptedClient>(socketPath));
        ScriptedClient late(socketPath);
        ASSERT_TRUE(late.Send(Wire(L"late other job")));
        EXPECT_EQ(late.Receive(), kNo);
        EXPECT_EQ(silent.front()->Receive(), "<eof>");  // the oldest was let go
    }
    EXPECT_TRUE(accessor->IsThreadRunning());

    // The endpoint's own name proves any job; an odd last byte is dropped.
    ScriptedClient good(socketPath);
    ASSERT_TRUE(good.Send(Wire(kJobKeyEndpoint) + "\x7f"));
    EXPECT_EQ(good.Receive(), kYes);
    ASSERT_TRUE(good.Send(Wire(L"file=a.ps") + "Z"));
    ASSERT_TRUE(WaitForEnd(*accessor));
    EXPECT_TRUE(accessor->Succeeded());
    EXPECT_EQ(accessor->GetKeys(), L"file=a.ps");

    // The socket disappears with its server.
    accessor.reset();
    EXPECT_NE(::access(ToUtf8(socketPath).c_str(), F_OK), 0);
}

TEST(IpcTest, StopAndCloseEndWaits)
{
    StartServer(UniqueTag("stop")).reset();  // returns only once Run has ended

    // Stop and close from another thread wake a blocked Receive too.
    ZIpcServer server(ZString(L"quillet-ipc-test"));
    ASSERT_TRUE(server.IsListening());
    // (A client is served once it has spoken.)
    ScriptedClient client(server.GetSocketPath());
    ASSERT_TRUE(client.Send("hi"));
    ASSERT_EQ(server.AcceptClient(5000), ZBASE_OK);
    unsigned char first[16];
    std::uint32_t firstLen = sizeof first;
    ASSERT_EQ(server.Receive(first, firstLen), ZBASE_OK);
    auto receive = std::async(std::launch::async, [&] {
        unsigned char buffer[16];
        std::uint32_t len = sizeof buffer;
        return server.Receive(buffer, len);
    });
    server.CloseCurrentClient();
    EXPECT_NE(receive.get(), ZBASE_OK);

    // (A message larger than the buffer drops the client: the refusal test's
    // flood.)
    server.StopAcceptClients();
    EXPECT_EQ(server.AcceptClient(ZIpcServer::kInfinite), ZBASE_STOPPED);
}

// Connects as an unprivileged user and reports whether the server answered.
QUILLET_TEST_HELPER(ipc_as_nobody)
{
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
        return 3;
    ScriptedClient client(FromUtf8(argv[0]));
    if (!client.connected)
        return 4;
    client.Send(Wire(FromUtf8(argv[1])));
    return client.Receive() == "<eof>" ? 0 : 1;
}

TEST(IpcTest, OtherUsersAreNotServed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    auto accessor = StartServer(UniqueTag("nobody"));
    EXPECT_EQ(QuilletTest::PrivateCups::Run(QuilletTest::HelperCommand(
                  L"ipc_as_nobody", {accessor->GetServer()->GetSocketPath(), accessor->GetExpectedTag()})),
              0);
    EXPECT_TRUE(accessor->IsThreadRunning());

    // An endpoint folder that belongs to another user is refused by both
    // ends: no server opens in it, and the print path does not even connect.
    const std::wstring name = L"quillet-foreign-" + std::to_wstring(::getpid());
    const std::string folder = ToUtf8(ZIpcServer::EndpointFolder(name));
    auto server = std::make_unique<ZIpcServer>(ZString(name));
    ASSERT_TRUE(server->IsListening());
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(ZIpcServer(ZString(name)).IsListening());
    EXPECT_EQ(Platform::ReportJob(name, L"x", L"k", 100, L""), Platform::IpcReportResult::NoServer);
    EXPECT_EQ(server->AcceptClient(100), ZBASE_TIMEOUT);
    server.reset();
    ::rmdir(folder.c_str());
}
