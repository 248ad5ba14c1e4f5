// Stopping runs: a hanging run, a stop or release from a page callback, and
// children that die with a killed host.
#include "RunnerSupport.h"

#include <gtest/gtest.h>

namespace Quillet {
namespace {

/// A host that renders the endless job argv[0] into folder argv[1] on an
/// engine started from a short-lived thread, and says "ready" once the first
/// page is out and its Ghostscript processes run.
QUILLET_TEST_HELPER(riphost)
{
    IRIPBase* engine = CreateRIPService(FromUtf8(argv[0]));
    engine->SetOutputFolder(FromUtf8(argv[1]));
    engine->SetResolution(36);
    std::thread([&] { engine->StartRIP(); }).join();
    BitmapFile page;
    if (!engine->GetPage(1, page) || ChildrenOfThisProcess().empty())
        return 1;
    std::cout << "ready" << std::endl;
    for (;;)
        ::pause();
}

TEST_F(RunnerTest, GhostscriptDiesWithAKilledHost)
{
    const fs::path job = WriteJob("endless.ps", JobOf("AB", "{ } loop\n"));
    QuilletTest::HelperProcess host(L"riphost", {FromUtf8(job.u8string()), FromUtf8(output.u8string())});
    ASSERT_EQ(host.ReadLine(), "ready");
    const std::vector<int> children = ChildrenOfThisProcess(static_cast<int>(host.GetProcessId()));
    ASSERT_FALSE(children.empty());
    host.Kill();
    // Gone about at once; waited for with a generous bound, not timed.
    for (int child : children) {
        QuilletTest::Eventually([&] { return ::kill(child, 0) != 0 || ChildrenOfThisProcess(1).empty(); });
        const std::string state = QuilletTest::ReadWholeFile("/proc/" + std::to_string(child) + "/stat");
        EXPECT_TRUE(state.empty() || state.find(") Z") != std::string::npos) << state;
    }
}

TEST_F(RunnerTest, HangingRunRefusesAStartAndEndsOnStopOrRelease)
{
    RIPEngine* engine = Engine(WriteJob("hang.ps", JobOf("AB", "{ } loop\n")));
    // Without bounds, which are checked as time passes.
    engine->SetTimeLimit(0);
    engine->SetMaxOutputBytes(0);
    ASSERT_TRUE(engine->StartRIP());
    try {
        engine->GetImpl().StartGhostscript(RunSetup());
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot start. RIP in progress");
    }
    EXPECT_FALSE(engine->GetImpl().IsIdle());
    EXPECT_EQ(engine->GetPageCount(), -1);
    // Both pages are out (a whole PNG is handed out once closed): the
    // children now only loop, however fast they got there.
    BitmapFile page;
    ASSERT_TRUE(engine->GetPage(2, page));
    EXPECT_EQ(engine->GetImpl().GetProcessesStarted(), 2);  // each loops after its page
    EXPECT_FALSE(ChildrenOfThisProcess().empty());

    engine->Stop();
    EXPECT_TRUE(engine->GetImpl().IsIdle());
    EXPECT_TRUE(ChildrenOfThisProcess().empty());
    // The silent children were killed: a failed run.
    EXPECT_EQ(engine->GetPageCount(), -1);
    ExpectFailure(engine, RIP_STAGE_STOP, L"Ghostscript did not end after the stop and was killed after 2 pages");
    EXPECT_FALSE(engine->GetPage(1, page));
    EXPECT_TRUE(Exists(page.GetFilePath()));

    // A release during a run stops it just the same.
    ASSERT_TRUE(engine->StartRIP());
    engines.clear();
    EXPECT_TRUE(engine->Release());
    EXPECT_TRUE(ChildrenOfThisProcess().empty());
}

TEST_F(RunnerTest, StopAndReleaseFromAPageCallbackEndTheRun)
{
    // At page 2 of a long job, the callback stops the run, releases the
    // engine or deletes the pages: no later page is announced, Ghostscript
    // goes long before the 400 pages are written, and the counts say so.
    enum class Action { Stop, Release, Delete };
    for (const Action action : {Action::Stop, Action::Release, Action::Delete}) {
        SCOPED_TRACE(static_cast<int>(action));
        const fs::path fifo = dir / ("action" + std::to_string(static_cast<int>(action)) + ".fifo");
        RIPEngine* engine = FifoEngine(fifo);
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(engine->StartRIP());
        struct Stopper : Recorder {
            RIPEngine* engine;
            Action action;
            void OnPageReady(std::int32_t pageNumber, BitmapFile& page) override
            {
                // Read before the recorder's lock, which orders every use of
                // this object before the test looks at it.
                RIPEngine* const target = engine;
                const Action what = action;
                Recorder::OnPageReady(pageNumber, page);
                if (pageNumber != 2)
                    return;
                if (what == Action::Release)
                    target->Release();
                else if (what == Action::Stop)
                    target->Stop();
                else
                    target->DeletePages();
            }
        } stopper;
        stopper.engine = engine;
        stopper.action = action;
        const std::size_t threads = CountEntries("/proc/self/task");  // the monitor's included
        EXPECT_TRUE(engine->GetPages(&stopper, true));
        // The engine holds the FIFO open, and the whole job fits into it.
        QuilletTest::WriteWholeFile(fifo, DistinctPages(400));
        if (action == Action::Release) {
            engines.pop_back();
            // Destroyed by its own monitor thread, which then ends.
            EXPECT_TRUE(QuilletTest::Eventually(
                [&] { return ChildrenOfThisProcess().empty() && CountEntries("/proc/self/task") < threads; }, 60000));
        } else {
            WaitForEnd(engine);
            EXPECT_LE(engine->GetPageCount(), 0);
            EXPECT_EQ(engine->GetNumCopies(), -1);
            EXPECT_EQ(engine->GetOrientation(), 1);
            BitmapFile page;
            EXPECT_FALSE(engine->GetPage(3, page));
        }
        std::lock_guard<std::mutex> guard(stopper.mutex);  // orders the callbacks before the look
        EXPECT_EQ(stopper.numbers, (std::vector<std::int32_t>{1, 2}));
        if (action == Action::Delete) {
            EXPECT_FALSE(Exists(stopper.paths[0]) || Exists(stopper.paths[1]));
        }
        EXPECT_TRUE(ChildrenOfThisProcess().empty());
        EXPECT_LT(CountEntries(output.c_str()), 400u);
        fs::remove_all(output);
    }
}

}  // namespace
}  // namespace Quillet
