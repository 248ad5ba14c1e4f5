// Tests of the print queues (ZPrintQueue) and of switching the default queue
// (QueueManager), against the private print server.
#include "support/Files.h"
#include "support/HelperProcess.h"
#include "support/PrivateCups.h"

#include "capture/Document.h"
#include "capture/QueueManager.h"
#include "platform/ChildProcess.h"
#include "platform/TextConversion.h"
#include "platform/ZPrintQueue.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

using namespace Quillet;

TEST(QueueTest, SelectsOnlyTheExactDisplayNameAndRestoresTheOldDefault)
{
    QUILLET_REQUIRE_CUPS(cups);
    ASSERT_TRUE(cups->AddQueue("Upper_Case", "Case Glance"));
    ASSERT_TRUE(cups->AddQueue("lower_case", "case glance"));
    ASSERT_TRUE(cups->AddQueue("Plain_Queue", ""));
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
        {L"Plain_Queue", true, L"Plain_Queue"},        // no description: the name stands in
    };
    EXPECT_FALSE(ZPrintQueue::SetDefaultPrintQueue(L"No_Such_Queue"));
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

TEST(QueueTest, NoSettingsBeforeMeansNoneAfter)
{
    QUILLET_REQUIRE_CUPS(cups);
    std::filesystem::remove(cups->Folder() + "/home/.cups/lpoptions");
    if (!ZPrintQueue::GetDefaultPrintQueue().empty())
        GTEST_SKIP() << "the server has a default of its own";
    QueueManager manager;
    EXPECT_TRUE(manager.SelectQueue(L"QV Page Glance"));
    EXPECT_TRUE(manager.savedDefault.empty());
    // The user had no settings file; afterwards there is none either.
    manager.RestoreDefault();
    EXPECT_FALSE(std::filesystem::exists(cups->Folder() + "/home/.cups/lpoptions"));
    EXPECT_TRUE(ZPrintQueue::GetDefaultPrintQueue().empty());
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
    EXPECT_EQ(QuilletTest::PrivateCups::Run(QuilletTest::HelperCommand(L"queues_without_server"),
                                            {{L"CUPS_SERVER", L"/nonexistent/cups.sock"}, {L"HOME", L"/nonexistent"}}),
              0);
}

// Switches the default to the virtual queue as a capture's fallback does,
// in the environment the test gives: 0 when the default read before is
// argv[1] and the switch held as argv[2] says. With argv[0] "die" the
// process is killed right after the switch; else it restores the default.
QUILLET_TEST_HELPER(switch_default)
{
    QueueManager manager;
    const bool asExpected = ZPrintQueue::GetDefaultPrintQueue() == FromUtf8(argv[1]) &&
                            manager.SelectQueue(L"QV Page Glance") == (std::string(argv[2]) == "1");
    if (std::string(argv[0]) == "die")
        ::raise(SIGKILL);
    manager.RestoreDefault();
    return asExpected ? 0 : 1;
}

namespace {

int SwitchDefault(const char* mode, const char* expectedDefault, bool held,
                  const std::vector<std::pair<std::wstring, std::wstring>>& environment)
{
    return QuilletTest::PrivateCups::Run(
        QuilletTest::HelperCommand(L"switch_default", {FromUtf8(mode), FromUtf8(expectedDefault), held ? L"1" : L"0"}),
        environment);
}

}  // namespace

TEST(QueueTest, EnvironmentIsHonouredAndTheSavedDefaultComesBackByteForByte)
{
    QUILLET_REQUIRE_CUPS(cups);
    using QuilletTest::PrivateCups;
    ASSERT_TRUE(cups->AddQueue("Plain_Queue", ""));
    ASSERT_TRUE(cups->AddQueue("Other_Queue", "Other Queue"));
    // The user's own settings, made as the user would make them.
    ASSERT_EQ(PrivateCups::Run({L"lpoptions", L"-d", L"Plain_Queue"}), 0);
    ASSERT_EQ(PrivateCups::Run({L"lpoptions", L"-p", L"Other_Queue", L"-o", L"sides=two-sided-long-edge"}), 0);
    const std::string lpoptions = cups->Folder() + "/home/.cups/lpoptions";
    const std::string before = QuilletTest::ReadWholeFile(lpoptions);
    ASSERT_NE(before.find("Default Plain_Queue"), std::string::npos) << before;

    struct Case {
        std::vector<std::pair<std::wstring, std::wstring>> environment;
        const char* defaultRead;  // as lpstat -d reads it
        bool switchHolds;
    };
    const Case cases[] = {
        {{}, "Plain_Queue", true},
        // The environment wins over the saved default, LPDEST over PRINTER;
        // the saved default is switched but cannot take effect.
        {{{L"PRINTER", L"Other_Queue"}}, "Other_Queue", false},
        {{{L"LPDEST", L"Other_Queue"}, {L"PRINTER", L"Plain_Queue"}}, "Other_Queue", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SwitchDefault("restore", c.defaultRead, c.switchHolds, c.environment), 0) << c.defaultRead;
        EXPECT_EQ(QuilletTest::ReadWholeFile(lpoptions), before) << c.defaultRead;
    }

    // A host killed mid-capture leaves the virtual queue as the default; the
    // next capture, or qvqueue, puts the user's settings back.
    for (const bool byQueueTool : {false, true}) {
        EXPECT_EQ(SwitchDefault("die", "Plain_Queue", true, {}), 128 + SIGKILL);
        EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), L"QV_Page_Glance");
        if (byQueueTool) {
            // With the paper the server was set up with, which later tests expect.
            EXPECT_EQ(PrivateCups::Run({FromUtf8(PrivateCups::QueueToolPath()), L"--ppd",
                                        FromUtf8(PrivateCups::PpdPath())}, {{L"PAPERSIZE", L"a5"}}), 0);
        } else {
            Document missing(L"/nonexistent/capture.txt");
            missing.SetQueueName(L"No Such Queue");
            ASSERT_TRUE(missing.ThreadStart(5));
        }
        EXPECT_EQ(QuilletTest::ReadWholeFile(lpoptions), before) << (byQueueTool ? "qvqueue" : "capture");
    }
}
