// Resources over many runs: engines side by side, and no growth of
// descriptors, folder watches or threads across jobs and engines.
#include "RunnerSupport.h"

#include <gtest/gtest.h>

namespace Quillet {
namespace {

TEST_F(RunnerTest, EightEnginesAtOnce)
{
    std::vector<RIPEngine*> running;
    for (int i = 0; i < 8; ++i) {
        const std::string kinds = std::string("ABC").substr(0, 1 + i % 3);
        RIPEngine* engine = Engine(WriteJob("job" + std::to_string(i) + ".ps", JobOf(kinds)),
                                   dir / ("out" + std::to_string(i % 2)));
        ASSERT_TRUE(engine->StartRIP());
        running.push_back(engine);
    }
    std::vector<std::thread> hosts;
    std::atomic<int> good{0};
    for (int i = 0; i < 8; ++i) {
        hosts.emplace_back([&, i] {
            if (Pages(running[i]).size() == static_cast<std::size_t>(1 + i % 3) &&
                running[i]->GetPageCount() == 1 + i % 3)
                ++good;
        });
    }
    for (std::thread& host : hosts)
        host.join();
    EXPECT_EQ(good.load(), 8);
}

TEST_F(RunnerTest, NoDescriptorWatchOrThreadGrowthAcrossManyJobsAndEngines)
{
    // 200 jobs on 140 live engines: more engines than the system's usual 128
    // folder watches per user, so an idle engine must hold none.
    const fs::path job = WriteJob("many.ps", JobOf("AB"));
    std::vector<RIPEngine*> live;
    auto once = [&](std::size_t i) {
        if (i == live.size())
            live.push_back(Engine(job));
        RIPEngine* engine = live[i];
        ASSERT_TRUE(engine->StartRIP());
        WaitForEnd(engine);
        ASSERT_EQ(engine->GetPageCount(), 2);
        ASSERT_TRUE(engine->DeletePages());
    };
    for (std::size_t i = 0; i < 140 && !HasFatalFailure(); ++i)
        once(i);
    // A live engine keeps its job file and its stop event open, nothing more.
    const std::size_t descriptors = QuilletTest::OpenDescriptorCount();
    const std::size_t threads = CountEntries("/proc/self/task");
    EXPECT_EQ(CountWatches(), 0u);
    for (std::size_t i = 0; i < 60 && !HasFatalFailure(); ++i)
        once(i * 7 % 140);
    EXPECT_EQ(CountWatches(), 0u);
    for (RIPEngine* engine : live)
        engine->Stop();
    EXPECT_LE(QuilletTest::OpenDescriptorCount(), descriptors);
    EXPECT_LE(CountEntries("/proc/self/task"), threads);
    EXPECT_TRUE(ChildrenOfThisProcess().empty());
}

}  // namespace
}  // namespace Quillet
