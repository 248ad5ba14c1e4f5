// Tests of the print queues (ZPrintQueue) and of switching the default queue
// (QueueManager), against the private print server.
#include "TestSupport.h"
#include "support/PrivateCups.h"

#include "capture/QueueManager.h"
#include "platform/ChildProcess.h"
#include "platform/TextConversion.h"
#include "platform/ZPrintQueue.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace Quillet;

namespace {

std::wstring DisplayNameOf(const std::wstring& id)
{
    ZList<ZPrintQueue> list;
    if (!ZPrintQueue::GetPrintQueues(list, nullptr))
        return L"<no server>";
    for (ZPrintQueue* q = list.GetHead(); q != nullptr; q = list.GetNext())
        if (q->GetID() == id)
            return q->GetName();
    return L"<missing>";
}

}  // namespace

TEST(QueueTest, ListsQueuesWithDisplayNamesAndKeepsTheUsersDefault)
{
    QUILLET_REQUIRE_CUPS(cups);
    ASSERT_TRUE(cups->AddQueue("Plain_Queue", ""));
    EXPECT_EQ(DisplayNameOf(L"QV_Page_Glance"), L"QV Page Glance");
    EXPECT_EQ(DisplayNameOf(L"Plain_Queue"), L"Plain_Queue");  // no description: the name stands in
    ZList<ZPrintQueue> list;
    ASSERT_TRUE(ZPrintQueue::GetPrintQueues(list, L"QV Page Glance"));
    ASSERT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(list.GetHead()->GetID(), L"QV_Page_Glance");

    ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));
    EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), L"QV_Page_Glance");
    // Written to the private HOME, not to the system.
    EXPECT_TRUE(std::filesystem::exists(cups->Folder() + "/home/.cups/lpoptions"));
    EXPECT_FALSE(ZPrintQueue::SetDefaultPrintQueue(L"No_Such_Queue"));
    EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), L"QV_Page_Glance");
}

TEST(QueueTest, SelectsOnlyTheExactDisplayNameAndRestoresTheOldDefault)
{
    QUILLET_REQUIRE_CUPS(cups);
    ASSERT_TRUE(cups->AddQueue("Upper_Case", "Case Glance"));
    ASSERT_TRUE(cups->AddQueue("lower_case", "case glance"));
    struct Case {
        const wchar_t* displayName;
        bool selected;
        const wchar_t* defaultAfter;
    };
    const Case cases[] = {
        {L"case glance", true, L"lower_case"},     // names that differ only in case
        {L"Case Glance", true, L"Upper_Case"},
        {L"Not Installed", false, L"QV_Page_Glance"},
        {L"qv page glance", false, L"QV_Page_Glance"},
        {L"QV Page Glance", true, L"QV_Page_Glance"},  // already the default
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));
        QueueManager manager;
        EXPECT_EQ(manager.SelectQueue(c.displayName), c.selected) << ToUtf8(c.displayName);
        EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), c.defaultAfter) << ToUtf8(c.displayName);
        EXPECT_EQ(manager.savedDefault, L"QV_Page_Glance");
        // A second switch keeps the default remembered first.
        EXPECT_TRUE(manager.SelectQueue(L"Case Glance"));
        EXPECT_EQ(manager.savedDefault, L"QV_Page_Glance");
        manager.RestoreDefault();
        EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), L"QV_Page_Glance");
    }
}

TEST(QueueTest, NoDefaultBeforeMeansNothingToRestore)
{
    QUILLET_REQUIRE_CUPS(cups);
    std::filesystem::remove(cups->Folder() + "/home/.cups/lpoptions");
    if (!ZPrintQueue::GetDefaultPrintQueue().empty())
        GTEST_SKIP() << "the server has a default of its own";
    QueueManager manager;
    EXPECT_TRUE(manager.SelectQueue(L"QV Page Glance"));
    EXPECT_TRUE(manager.savedDefault.empty());
    manager.RestoreDefault();
    EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), L"QV_Page_Glance");
}

// Lists the queues of a server that is not there: 0 when that fails as it should.
QUILLET_TEST_HELPER(queues_without_server)
{
    ZList<ZPrintQueue> list;
    QueueManager manager;
    const bool listed = ZPrintQueue::GetPrintQueues(list, nullptr);
    const bool selected = manager.SelectQueue(L"QV Page Glance");
    return !listed && !selected && manager.savedDefault.empty() &&
                   ZPrintQueue::GetDefaultPrintQueue().empty() ? 0 : 1;
}

TEST(QueueTest, ServerThatIsNotRunningFailsTheListing)
{
    Platform::ChildProcess child;
    ASSERT_TRUE(Platform::ChildProcess::Spawn(
        {FromUtf8(QuilletTest::SelfPath()), L"--quillet-helper", L"queues_without_server"},
        {{L"CUPS_SERVER", L"/nonexistent/cups.sock"}, {L"HOME", L"/nonexistent"}},
        Platform::kInvalidHandle, Platform::kInvalidHandle, Platform::kInvalidHandle, child));
    int code = -1;
    ASSERT_TRUE(child.Wait(60000, code));
    EXPECT_EQ(code, 0);
}
