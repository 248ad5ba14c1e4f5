// The engine without Ghostscript: construction, status of a fresh service,
// Release, the factory, and starts without a job to read.
#include "engine/RIPEngine.h"
#include "engine/RIPEngineImpl.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <string>

namespace Quillet {
namespace {

TEST(EngineTest, FreshServiceReportsNothingYet)
{
    auto* engine = static_cast<RIPEngine*>(CreateRIPService(L"/no/such/folder/report.odt"));
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->GetPageCount(), 0);
    EXPECT_EQ(engine->GetNumCopies(), -1);

    // No run: page waits fail at once, the synchronous delivery has nothing
    // to deliver and is not a failure, a stop does nothing.
    BitmapFile page;
    EXPECT_FALSE(engine->GetPage(0, page));
    EXPECT_FALSE(engine->GetPage(-3, page));
    EXPECT_FALSE(engine->GetPage(1, page));
    EXPECT_FALSE(engine->GetImpl().WaitForPage(1));
    EXPECT_TRUE(engine->GetPages(nullptr, false));
    EXPECT_TRUE(engine->GetPages(nullptr, true));
    engine->Stop();
    engine->Cancel();
    EXPECT_EQ(engine->GetPageCount(), 0);
    EXPECT_TRUE(engine->DeletePages());
    EXPECT_TRUE(engine->Release());
}

TEST(EngineTest, JobSourceThatCannotBeOpenedFailsTheRunWithoutThrowing)
{
    // A ".PS" document is started at once, whatever the case of its
    // extension; a missing one, or a print-job file below a regular file,
    // has no data source: StartRIP goes through, the run fails with a reason,
    // no child is started. The accessor refuses what is not a service of ours.
    EXPECT_EQ(GetRIPStatus(nullptr), nullptr);
    const struct {
        std::wstring params;
        std::wstring reason;
    } cases[] = {
        {L"/no/such/folder/REPORT.PS", L"the job source /no/such/folder/REPORT.PS does not exist"},
        {L"docname=d.ps printjobfile=/etc/passwd/j.ps", L"the job source /etc/passwd/j.ps does not exist"},
    };
    for (const auto& c : cases) {
        auto* engine = static_cast<RIPEngine*>(CreateRIPService(c.params));
        ASSERT_NE(engine, nullptr);
        EXPECT_NO_THROW(EXPECT_TRUE(engine->StartRIP()));
        EXPECT_TRUE(engine->GetImpl().IsIdle());
        EXPECT_EQ(engine->GetPageCount(), -1);
        RIPFailure failure;
        ASSERT_TRUE(GetRIPStatus(engine)->GetLastFailure(failure));
        EXPECT_EQ(failure.stage, RIP_STAGE_START);
        EXPECT_EQ(failure.reason, c.reason);
        EXPECT_TRUE(failure.report.empty());
        EXPECT_TRUE(engine->Release());
    }
}

}  // namespace
}  // namespace Quillet
