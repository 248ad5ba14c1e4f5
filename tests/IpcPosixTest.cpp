// Tests of the job-key endpoint's POSIX sockets: the shared folder, and peers
// of other users.
#include "support/EndpointClient.h"
#include "support/HelperProcess.h"
#include "support/KeyEndpoint.h"
#include "support/PrivateCups.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Quillet;
using namespace QuilletTest;

TEST(IpcTest, TheEndpointFolderIsSharedLikeTmp)
{
    auto accessor = StartServer(UniqueTag("folder"));
    struct stat info {};
    ASSERT_EQ(::stat("/tmp/.quillet-ipc/719D68FD-2A2F-4088-976B-52DC0A22235C", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 01777u);
}

// Connects as an unprivileged user and reports whether the server answered.
QUILLET_TEST_HELPER(ipc_as_nobody)
{
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
        return 3;
    EndpointClient client(FromUtf8(argv[0]));
    if (!client.IsConnected())
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
