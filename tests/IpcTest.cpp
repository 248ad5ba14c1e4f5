// Tests of the job-key endpoint: ZIpcServer, the print path's client and the
// KeyAccessor thread, driven by scripted clients that misbehave on purpose.
#include "support/EndpointClient.h"
#include "support/KeyEndpoint.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <vector>

using namespace Quillet;
using namespace QuilletTest;

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
    const std::wstring keys = L"printjobfile=\"/var/spool/x y.ps\" docname=\"R\u00e9sum\u00e9 \U0001F600.txt\"";
    // The engine's reply after applying the keys completes the client's report.
    EXPECT_EQ(Report(*accessor, L"job " + tag + L".txt", keys),
              std::make_pair(keys, Platform::IpcReportResult::Delivered));
    EXPECT_TRUE(accessor->Succeeded());
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
        EndpointClient wrong(socketPath);
        ASSERT_TRUE(wrong.Send(identity));
        EXPECT_EQ(wrong.Receive(), kNo);
        EXPECT_EQ(wrong.Receive(), "<eof>");
    }
    {   // Longer than 1024 bytes: treated as gone, no reply.
        EndpointClient flood(socketPath);
        ASSERT_TRUE(flood.Send(Wire(tag) + std::string(1100, 'x')));
        EXPECT_EQ(flood.Receive(), "<eof>");
    }
    {   // Accepted, then gone before the keys.
        EndpointClient quitter(socketPath);
        ASSERT_TRUE(quitter.Send(Wire(tag)));
        EXPECT_EQ(quitter.Receive(), kYes);
    }
    {   // The endpoint's name as identity, then empty keys: dropped.
        EndpointClient empty(socketPath);
        ASSERT_TRUE(empty.Send(Wire(kJobKeyEndpoint)));
        EXPECT_EQ(empty.Receive(), kYes);
        ASSERT_TRUE(empty.Send(std::string()));
        EXPECT_EQ(empty.Receive(), "<eof>");
    }
    {   // Gone before its 0x00 reply.
        EndpointClient rude(socketPath);
        ASSERT_TRUE(rude.Send(Wire(L"some other job")));
        rude.Close();
    }
    {   // Silent clients, far more than are kept waiting, hold up nobody.
        std::vector<std::unique_ptr<EndpointClient>> silent;
        for (int i = 0; i < 200; ++i)
            silent.push_back(std::make_unique<EndpointClient>(socketPath));
        EndpointClient late(socketPath);
        ASSERT_TRUE(late.Send(Wire(L"late other job")));
        EXPECT_EQ(late.Receive(), kNo);
        EXPECT_EQ(silent.front()->Receive(), "<eof>");  // the oldest was let go
    }
    EXPECT_TRUE(accessor->IsThreadRunning());

    // The endpoint's own name proves any job; an odd last byte is dropped.
    EndpointClient good(socketPath);
    ASSERT_TRUE(good.Send(Wire(kJobKeyEndpoint) + "\x7f"));
    EXPECT_EQ(good.Receive(), kYes);
    ASSERT_TRUE(good.Send(Wire(L"file=a.ps") + "Z"));
    ASSERT_TRUE(WaitForEnd(*accessor));
    EXPECT_TRUE(accessor->Succeeded());
    EXPECT_EQ(accessor->GetKeys(), L"file=a.ps");

    // The endpoint disappears with its server.
    accessor.reset();
    EXPECT_FALSE(EndpointClient(socketPath).IsConnected());
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
    EXPECT_EQ(Platform::ReportJob(L"no-such-endpoint-" + std::to_wstring(ZHelper::GetThisProcessID()), L"x", L"k", 100, L""),
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
    EndpointClient client(server.GetSocketPath());
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
