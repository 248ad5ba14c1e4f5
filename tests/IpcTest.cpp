// Tests of the job-key endpoint on every system: the print path's client
// reports a job to the KeyAccessor that knows its tag.
#include "support/KeyEndpoint.h"

#include <gtest/gtest.h>

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
