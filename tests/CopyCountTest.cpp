// Tests of the shared copy counter: the states, leasing of records, names,
// and several processes working on one table at once.
#include "support/CopyCountFixture.h"
#include "support/OpenSharedBlock.h"
#include "support/RunHelper.h"

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Quillet {
namespace {

// A counter in another process: the test binary as a helper that reads one
// command per line and answers each with one line.

void Reply(const std::string& line)
{
    std::cout << line << std::endl;
}

QUILLET_TEST_HELPER(copycount)
{
    SetNameSuffixForTests(FromUtf8(argv[0]));
    std::unique_ptr<CopyCount> counter;
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::size_t space = line.find(' ');
        const std::string command = line.substr(0, space);
        const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
        try {
            if (command == "open") {
                counter = std::make_unique<CopyCount>(FromUtf8(argument));
                Reply("ok");
            } else if (command == "add") {
                for (int i = std::stoi(argument); i > 0; --i)
                    counter->AddCopy();
                Reply("ok");
            } else if (command == "hammer") {
                // Two threads of this process add at once, besides the other
                // processes doing the same.
                const int count = std::stoi(argument);
                auto work = [&] {
                    for (int i = 0; i < count; ++i)
                        counter->AddCopy();
                };
                std::thread other(work);
                work();
                other.join();
                Reply("ok");
            } else if (command == "start") {
                counter->Start();
                Reply("ok");
            } else if (command == "count") {
                Reply("ok " + std::to_string(counter->GetCopyCount()));
            } else if (command == "hold") {
                // Takes the counters' mutex and keeps it until killed.
                NamedMutex mutex(GetMutexName());
                mutex.Lock();
                Reply("locked");
                for (;;)
                    ZUtilities::sleep(1000);
            } else {
                Reply("unknown " + command);
            }
        } catch (const std::exception& error) {
            Reply(std::string("error ") + error.what());
        }
    }
    return 0;
}

TEST_F(CopyCountTest, StartStopAndGraceDecideTheCount)
{
    CopyCount counter(L"Job");
    EXPECT_EQ(counter.GetCopyCount(), 0);  // idle: no wait
    EXPECT_FALSE(counter.IsCopy());

    counter.Start();
    counter.AddCopy();
    counter.AddCopy();
    EXPECT_TRUE(counter.IsCopy());
    EXPECT_EQ(counter.GetCopies(), 2);

    // Only the thread that started may stop.
    std::thread([&] { counter.Stop(); }).join();
    EXPECT_EQ(Record(0).stopTime, kCounting);

    const std::int32_t before = Now();
    counter.Stop();
    const std::int32_t graceEnd = Record(0).stopTime;
    EXPECT_GE(graceEnd, before + 5);
    EXPECT_LE(graceEnd, Now() + 5);
    EXPECT_TRUE(counter.IsCopy());

    // A start within the grace period continues the job.
    counter.Start();
    counter.AddCopy();
    EXPECT_EQ(counter.GetCopies(), 3);
    counter.Stop();

    // As if the grace period had passed: over, the total is final.
    SetStopTime(0, Now() - 1);
    EXPECT_FALSE(counter.IsCopy());
    EXPECT_EQ(counter.GetCopyCount(), 3);
    counter.Start();  // a new job
    EXPECT_EQ(counter.GetCopies(), 0);

    counter.AddCopy();
    counter.StopCounting();
    const CopyCountRecord record = Record(0);
    EXPECT_EQ(record.stopTime, kIdle);
    EXPECT_EQ(record.copies, 0);
    EXPECT_EQ(record.threadId, 0u);
}

TEST_F(CopyCountTest, ATableOthersMayChangeIsLeftForTheUsersOwn)
{
    // Another user could truncate it under the view or change the counts.
    QuilletTest::OpenSharedBlock planted(GetTableName(), sizeof(CopyCountTable));
    ASSERT_TRUE(planted.IsPlanted());
    CopyCount counter(L"X");
    counter.AddCopy();
    EXPECT_EQ(GetScope(), Platform::SharedScope::User);
    EXPECT_EQ(counter.GetCopies(), 1);
}

/// Adds argv[2] copies to the counter argv[1] of the objects of suffix argv[0], and ends.
QUILLET_TEST_HELPER(copycount_add)
{
    SetNameSuffixForTests(FromUtf8(argv[0]));
    CopyCount counter(FromUtf8(argv[1]));
    for (int i = std::stoi(argv[2]); i > 0; --i)
        counter.AddCopy();
    return 0;
}

TEST_F(CopyCountTest, AProcessThatCameAndWentCountedIntoTheSameRecord)
{
    CopyCount counter(L"Shared");
    counter.Start();
    ASSERT_EQ(QuilletTest::RunHelper(L"copycount_add", {FromUtf8(suffix), L"Shared", L"3"}), 0);
    EXPECT_EQ(counter.GetCopies(), 3);
    EXPECT_EQ(StoredName(Record(1)), u"");  // no second record for the name
}

TEST_F(CopyCountTest, NamesAreComparedInFullAndStoredCut)
{
    // 127 units are kept; the full name never matches them again. (Each
    // counter keeps counting, so no later name leases its record.)
    const std::wstring longName(200, L'x');
    CopyCount longCounter(longName);
    longCounter.Start();
    CopyCount again(longName);
    again.Start();
    again.AddCopy();
    EXPECT_EQ(longCounter.GetCopies(), 0);
    EXPECT_EQ(StoredName(Record(0)), std::u16string(127, u'x'));
    EXPECT_EQ(StoredName(Record(1)), std::u16string(127, u'x'));

    // A cut between the halves of a surrogate pair drops the pair; a pair
    // that ends at the cut stays.
    CopyCount straddling(std::wstring(126, L'a') + L"\U0001F600b");
    straddling.Start();
    EXPECT_EQ(StoredName(Record(2)), std::u16string(126, u'a'));
    CopyCount fitting(std::wstring(125, L'a') + L"\U0001F600bb");
    fitting.Start();
    EXPECT_EQ(StoredName(Record(3)), std::u16string(125, u'a') + u"\U0001F600");
}

TEST_F(CopyCountTest, ProcessesShareRecordsAndNewNamesLeaseOnlyFreeOnes)
{
    CopyCount shared(L"Shared");
    shared.Start();
    RemoteCounter sharer(suffix);
    ASSERT_EQ(sharer.Call("open Shared"), "ok");
    ASSERT_EQ(sharer.Call("add 3"), "ok");
    EXPECT_EQ(shared.GetCopies(), 3);

    // Each starts before the next name arrives, which would lease it if idle.
    CopyCount graced(L"Graced");
    graced.Start();
    auto over = std::make_unique<CopyCount>(L"Over");
    over->Start();
    CopyCount counting(L"Counting");
    counting.Start();
    over->AddCopy();
    graced.Stop();
    over->Stop();
    SetStopTime(1, Now() + 3600);  // in grace however slow the machine is
    SetStopTime(2, Now() - 1);     // past its grace period
    shared.StopCounting();

    // A new name passes over counting and grace, and over records whose
    // counting is over but that live counters are still bound to: it takes
    // a record of its own, starting from nothing.
    RemoteCounter newcomer(suffix);
    ASSERT_EQ(newcomer.Call("open Newcomer"), "ok");
    CopyCountRecord record = Record(4);
    EXPECT_EQ(StoredName(record), u"Newcomer");
    EXPECT_EQ(record.copies, 0);
    EXPECT_EQ(record.stopTime, kIdle);
    for (const auto& [index, name] : {std::pair<std::size_t, std::u16string>{0, u"Shared"}, {1, u"Graced"},
                                      {2, u"Over"}, {3, u"Counting"}})
        EXPECT_EQ(StoredName(Record(index)), name);

    // Once the last object bound to a finished record is gone, in this
    // process or with its process, a new name may take the record over.
    over.reset();
    RemoteCounter third(suffix);
    ASSERT_EQ(third.Call("open Third"), "ok");
    EXPECT_EQ(StoredName(Record(2)), u"Third");
    third.Kill();
    CopyCount fourth(L"Fourth");
    EXPECT_EQ(StoredName(Record(2)), u"Fourth");
    ASSERT_EQ(sharer.Call("add 1"), "ok");
    EXPECT_EQ(shared.GetCopies(), 1);
    EXPECT_EQ(fourth.GetCopies(), 0);
}

TEST_F(CopyCountTest, GetCopyCountWaitsUntilCountingIsOver)
{
    CopyCount graceful(L"Graceful");
    graceful.Start();
    graceful.AddCopy();
    graceful.Stop();
    graceful.Start();  // within the grace period: the count goes on
    graceful.AddCopy();
    graceful.AddCopy();
    CopyCount dropped(L"Dropped");
    dropped.Start();
    dropped.AddCopy();

    // Readers in two other processes, both waiting while counting goes on;
    // the two waits overlap to keep the test short.
    RemoteCounter gracefulReader(suffix);
    RemoteCounter droppedReader(suffix);
    ASSERT_EQ(gracefulReader.Call("open Graceful"), "ok");
    ASSERT_EQ(droppedReader.Call("open Dropped"), "ok");
    gracefulReader.Send("count");
    droppedReader.Send("count");
    std::string line;
    EXPECT_FALSE(gracefulReader.ReadLine(line, 1000));
    EXPECT_FALSE(droppedReader.ReadLine(line, 0));

    // The waiting readers left the mutex free for these.
    graceful.Stop();
    const std::int32_t graceEnd = Record(0).stopTime;
    dropped.StopCounting();

    ASSERT_TRUE(droppedReader.ReadLine(line, 60000));
    EXPECT_EQ(line, "ok 0");
    ASSERT_TRUE(gracefulReader.ReadLine(line, 60000));
    EXPECT_EQ(line, "ok 3");
    EXPECT_GT(Now(), graceEnd);
    EXPECT_FALSE(graceful.IsCopy());

    // Past the grace period a start begins a new job.
    graceful.Start();
    EXPECT_EQ(graceful.GetCopies(), 0);
}

TEST_F(CopyCountTest, ConstructorWaitsForAFreeRecordAndThenGivesUp)
{
    // Every record bound to a live counter, half of them counting.
    std::vector<std::unique_ptr<CopyCount>> busy;
    for (int i = 0; i < 100; ++i) {
        busy.push_back(std::make_unique<CopyCount>(L"Busy" + std::to_wstring(i)));
        if (i % 2 == 0)
            busy.back()->Start();
    }

    RemoteCounter first(suffix);
    RemoteCounter second(suffix);
    first.Send("open First");
    second.Send("open Second");
    std::string line;
    EXPECT_FALSE(first.ReadLine(line, 1500));
    // They wait without holding the mutex.
    busy[7]->AddCopy();
    EXPECT_EQ(busy[7]->GetCopies(), 1);

    // One record comes free: one of them takes it, the other gives up.
    busy[42]->StopCounting();
    busy[42].reset();
    std::string answers[2];
    ASSERT_TRUE(first.ReadLine(answers[0], 60000));
    ASSERT_TRUE(second.ReadLine(answers[1], 60000));
    const int taker = answers[0] == "ok" ? 0 : 1;
    EXPECT_EQ(answers[taker], "ok");
    EXPECT_EQ(answers[1 - taker], "error No free copy counter record");
    EXPECT_EQ(StoredName(Record(42)), taker == 0 ? u"First" : u"Second");
}

TEST_F(CopyCountTest, OwnerKilledWhileHoldingTheMutexOrCountingIsRecovered)
{
    CopyCount counter(L"Survivor");
    counter.Start();

    {
        RemoteCounter holder(suffix);
        ASSERT_EQ(holder.Call("hold"), "locked");
        holder.Kill();
        NamedMutex mutex(GetMutexName());
        MutexLock lock(mutex);
        EXPECT_TRUE(lock.GetOwnerWasLost());
        lock.Unlock();
    }

    // A caller already waiting when the holder dies goes on.
    RemoteCounter holder(suffix);
    ASSERT_EQ(holder.Call("hold"), "locked");
    std::thread adder([&] { counter.AddCopy(); });
    holder.Kill();
    adder.join();
    EXPECT_EQ(counter.GetCopies(), 1);

    // Every process goes on using the table.
    RemoteCounter next(suffix);
    ASSERT_EQ(next.Call("open Survivor"), "ok");
    ASSERT_EQ(next.Call("add 2"), "ok");
    EXPECT_EQ(counter.GetCopies(), 3);
    EXPECT_TRUE(counter.IsCopy());

    // A starter killed before its stop: its record counts as stopped, so no
    // one waits for it and a new name may lease it.
    RemoteCounter starter(suffix);
    ASSERT_EQ(starter.Call("open Orphan"), "ok");
    ASSERT_EQ(starter.Call("start"), "ok");
    CopyCount orphan(L"Orphan");
    orphan.AddCopy();
    EXPECT_TRUE(orphan.IsCopy());
    starter.Kill();
    EXPECT_FALSE(orphan.IsCopy());
    EXPECT_EQ(orphan.GetCopyCount(), 1);
}

TEST_F(CopyCountTest, ConcurrentProcessesLoseNoCopy)
{
    constexpr int kProcesses = 4;
    constexpr int kPerThread = 500;  // each process adds from two threads
    std::vector<std::unique_ptr<RemoteCounter>> workers;
    for (int i = 0; i < kProcesses; ++i)
        workers.push_back(std::make_unique<RemoteCounter>(suffix));
    // The first opens race to create the mutex and the table.
    for (auto& worker : workers)
        worker->Send("open Shared");
    std::string line;
    for (auto& worker : workers) {
        ASSERT_TRUE(worker->ReadLine(line, 60000));
        ASSERT_EQ(line, "ok");
    }
    for (auto& worker : workers)
        worker->Send("hammer " + std::to_string(kPerThread));
    for (auto& worker : workers) {
        ASSERT_TRUE(worker->ReadLine(line, 60000));
        ASSERT_EQ(line, "ok");
    }
    EXPECT_EQ(CopyCount(L"Shared").GetCopies(), kProcesses * 2 * kPerThread);
    EXPECT_EQ(StoredName(Record(0)), u"Shared");
    EXPECT_EQ(StoredName(Record(1)), u"");  // all of them found one record
}

}  // namespace
}  // namespace Quillet
