// Tests of the job-key endpoint: ZIpcServer, the print path's client and the
// KeyAccessor thread, driven by scripted clients that misbehave on purpose.
#include "support/HelperProcess.h"
#include "support/PrivateCups.h"

#include "capture/KeyAccessor.h"
#include "platform/IpcClient.h"
#include "platform/TextConversion.h"
#include "platform/ZIpcServer.h"

#include <gtest/gtest.h>

#include <future>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace Quillet;

namespace {

std::string Wire(const std::wstring& text)
{
    std::string bytes;
    for (char16_t unit : ToUtf16(text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::wstring UniqueTag(const char* what)
{
    return L"t" + std::to_wstring(::getpid()) + FromUtf8(what) + L".QV_PrintDirect";
}

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

const std::string kYes(1, '\x01');
const std::string kNo(1, '\x00');

/// Starts a KeyAccessor and waits until its server listens.
std::unique_ptr<KeyAccessor> StartServer(const std::wstring& tag)
{
    auto accessor = std::make_unique<KeyAccessor>(tag);
    EXPECT_TRUE(accessor->Start());
    EXPECT_TRUE(accessor->GetServer() && accessor->GetServer()->IsListening());
    return accessor;
}

bool WaitForEnd(KeyAccessor& accessor, std::uint32_t ms = 10000)
{
    ZSynchManager waiter;
    waiter.AddSynchObject(&accessor);
    return waiter.WaitForTrigger(false, ms) == ZBASE_OK;
}

/// Reports keys for tag through the print path's client while accessor
/// serves; returns the keys the accessor got and the client's result once
/// the engine's final reply went out.
std::pair<std::wstring, Platform::IpcReportResult> Report(KeyAccessor& accessor, const std::wstring& identity,
                                                          const std::wstring& keys)
{
    auto report = std::async(std::launch::async, [&] {
        return Platform::ReportJob(kJobKeyEndpoint, identity, keys, 10000, L"");
    });
    if (!WaitForEnd(accessor))
        return {L"<no end>", report.get()};
    const unsigned char yes = 1;
    EXPECT_EQ(accessor.GetServer()->Send(&yes, 1), ZBASE_OK);
    return {accessor.GetKeys(), report.get()};
}

}  // namespace

TEST(IpcTest, EndpointFolderRejectsNamesOutsideIt)
{
    EXPECT_EQ(ZIpcServer::EndpointFolder(L""), L"");
    EXPECT_EQ(ZIpcServer::EndpointFolder(L".."), L"");
    EXPECT_EQ(ZIpcServer::EndpointFolder(L"a/b"), L"");
}

TEST(IpcTest, ReportedJobReachesTheServerThatKnowsTheTag)
{
    const std::wstring tag = UniqueTag("good");
    auto accessor = StartServer(tag);
    struct stat info {};
    ASSERT_EQ(::stat("/tmp/.quillet-ipc/719D68FD-2A2F-4088-976B-52DC0A22235C", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 01777u);

    const std::wstring keys = L"printjobfile=\"/var/spool/x y.ps\" docname=\"R\u00e9sum\u00e9 \U0001F600.txt\"";
    // The engine's reply after applying the keys completes the client's report.
    EXPECT_EQ(Report(*accessor, L"job " + tag + L".txt", keys),
              std::make_pair(keys, Platform::IpcReportResult::Delivered));
    EXPECT_TRUE(accessor->Succeeded());

    // The socket disappears with its server.
    const std::string socketPath = ToUtf8(accessor->GetServer()->GetSocketPath());
    accessor.reset();
    EXPECT_NE(::access(socketPath.c_str(), F_OK), 0);
}

TEST(IpcTest, WrongClientsAreRefusedAndTheCaptureGoesOn)
{
    const std::wstring tag = UniqueTag("refuse");
    auto accessor = StartServer(tag);
    const std::wstring socketPath = accessor->GetServer()->GetSocketPath();

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
}

TEST(IpcTest, TwoServersUnderOneNameEachGetTheirOwnJob)
{
    const std::wstring tagA = UniqueTag("A"), tagB = UniqueTag("B");
    auto a = StartServer(tagA);
    auto b = StartServer(tagB);
    const auto delivered = Platform::IpcReportResult::Delivered;
    EXPECT_EQ(Report(*b, tagB, L"for=B"), std::make_pair(std::wstring(L"for=B"), delivered));
    EXPECT_EQ(Report(*a, tagA, L"for=A"), std::make_pair(std::wstring(L"for=A"), delivered));
}

TEST(IpcTest, NoServerAndNoFinalReplyAreReported)
{
    EXPECT_EQ(Platform::ReportJob(L"no-such-endpoint-" + std::to_wstring(::getpid()), L"x", L"k", 100, L""),
              Platform::IpcReportResult::NoServer);
    const std::wstring tag = UniqueTag("noreply");
    auto accessor = StartServer(tag);
    auto report = std::async(std::launch::async, [&] {
        return Platform::ReportJob(kJobKeyEndpoint, tag, L"k=v", 200, L"");
    });
    ASSERT_TRUE(WaitForEnd(*accessor));
    EXPECT_EQ(report.get(), Platform::IpcReportResult::NoReply);
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
