// Tests of the shared copy counter: the table's bytes, the states, leasing of
// records, names, and several processes working on one table at once.
#include <quillet/CopyCount.h>

#include "TestSupport.h"
#include "support/HelperProcess.h"
#include "copycount/CopyCountTable.h"
#include "platform/NamedMutex.h"
#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Quillet {
namespace {

using namespace CopyCountShared;

std::int32_t Now()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

std::u16string StoredName(const CopyCountRecord& record)
{
    return std::u16string(record.name, std::find(record.name, record.name + 128, u'\0'));
}

// ---------------------------------------------------------------------------
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
                    ::pause();
            } else {
                Reply("unknown " + command);
            }
        } catch (const std::exception& error) {
            Reply(std::string("error ") + error.what());
        }
    }
    return 0;
}

/// Runs as the user argv[0] and, for each shared object argv[2...], says
/// whether it could open it for writing ("opened"), and with argv[1] "wreck"
/// truncates what it opened ("wrecked"): what another local user can do.
QUILLET_TEST_HELPER(shm_as)
{
    const passwd* user = ::getpwnam(argv[0]);
    if (user == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 ||
        ::setuid(user->pw_uid) != 0)
        return 3;
    for (int i = 2; i < argc; ++i) {
        const int fd = ::shm_open(argv[i], O_RDWR | O_CLOEXEC, 0);
        const bool wreck = std::string(argv[1]) == "wreck";
        std::cout << (fd < 0 ? "denied" : wreck && ::ftruncate(fd, 0) == 0 ? "wrecked" : "opened") << ' ';
    }
    std::cout << std::endl;
    return 0;
}

/// The helper above, one command per line.
class RemoteCounter : public QuilletTest::HelperProcess {
public:
    explicit RemoteCounter(const std::string& suffix) : HelperProcess(L"copycount", {FromUtf8(suffix)}) {}

    /// Sends a command and returns its answer (empty when none came).
    std::string Call(const std::string& command) { return Send(command) ? ReadLine() : std::string(); }
};

// ---------------------------------------------------------------------------

/// Every test works on a mutex and a table of its own, which it removes at the
/// end: parallel test runs and the print path's real objects never meet.
class CopyCountTest : public testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        suffix = "_test" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
        SetNameSuffixForTests(FromUtf8(suffix));
    }

    void TearDown() override { RemoveObjectsForTests(); }

    /// A record as the counters see it: read under their mutex.
    CopyCountRecord Record(std::size_t index)
    {
        NamedMutex mutex(GetMutexName());
        MutexLock lock(mutex);
        const CopyCountRecord record = OpenTable().records[index];
        lock.Unlock();
        return record;
    }

    void SetStopTime(std::size_t index, std::int32_t stopTime)
    {
        NamedMutex mutex(GetMutexName());
        MutexLock lock(mutex);
        OpenTable().records[index].stopTime = stopTime;
        lock.Unlock();
    }

    /// Mode bits, owner and size of the shared object path.
    static bool StatObject(const std::string& path, struct stat& status)
    {
        const int fd = ::shm_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
        if (fd < 0)
            return false;
        const bool ok = ::fstat(fd, &status) == 0;
        ::close(fd);
        return ok;
    }

    /// Makes the shared object path anew, of size bytes, with firstWord at its
    /// start unless 0, as its owner with its mode: what a process that died
    /// at once, or another user, leaves behind.
    static void Plant(const std::string& path, off_t size, std::uint32_t firstWord = 0, uid_t owner = ::geteuid(),
                      mode_t mode = 0600)
    {
        ::shm_unlink(path.c_str());
        const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        if (firstWord != 0) {  // (a write would grow an empty object)
            ASSERT_EQ(::pwrite(fd, &firstWord, sizeof firstWord, 0), static_cast<ssize_t>(sizeof firstWord));
        }
        ASSERT_EQ(::fchown(fd, owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::fchmod(fd, mode), 0);
        ::close(fd);
    }

    std::string suffix;
};

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

TEST_F(CopyCountTest, BadObjectsAreRefusedAndUnfinishedOnesCompleted)
{
    const std::string table = "/QV_Quillet_CopyCountMem" + suffix, mutexObject = "/QV_Quillet_CopyCount" + suffix;
    auto expectFailure = [](const char* message) {
        try {
            CopyCount counter(L"X");
            ADD_FAILURE() << "no exception: " << message;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), message);
        }
    };
    auto expectOneCopy = [](const wchar_t* name) {
        CopyCount counter(name);
        counter.AddCopy();
        EXPECT_EQ(counter.GetCopies(), 1);
    };

    // A table of another size is not ours: refused, never read past its end,
    // and the failed constructor gave the mutex up (a second lock by this
    // thread would fail).
    Plant(table, 100);
    expectFailure("Shared memory creation failed");
    NamedMutex mutex(GetMutexName());
    MutexLock(mutex).Unlock();

    // An empty table is what a creator that died before sizing it leaves.
    Plant(table, 0);
    expectOneCopy(L"X");
    struct stat status {};
    ASSERT_TRUE(StatObject(table, status));
    EXPECT_EQ(status.st_size, 26800);

    // A mutex whose creator died before sizing it, or while initialising it
    // (its state word still names that process).
    RemoveObjectsForTests();
    Plant(mutexObject, 0);
    expectOneCopy(L"A");
    RemoveObjectsForTests();
    Plant(mutexObject, 4096, static_cast<std::uint32_t>(QuilletTest::EndedProcessId()));
    expectOneCopy(L"B");

    // A mutex that cannot be created.
    RemoveObjectsForTests();
    SetNameSuffixForTests(L"/no/such/folder");
    expectFailure("Mutex creation failed");
    SetNameSuffixForTests(FromUtf8(suffix));
}

TEST_F(CopyCountTest, OtherUsersCanNeitherCrashNorChangeTheCount)
{
    const passwd* other = ::getpwnam("quillet-test");
    const uid_t otherUid = other != nullptr ? other->pw_uid : 0;
    const group* lpGroup = ::getgrnam("lp");
    if (other == nullptr || ::getpwnam("lp") == nullptr || lpGroup == nullptr || ::geteuid() != 0)
        GTEST_SKIP() << "needs root, the print system's user lp and quillet-test (scripts/setup.sh test)";
    const gid_t lpGid = lpGroup->gr_gid;
    const std::string table = "/QV_Quillet_CopyCountMem" + suffix, mutex = "/QV_Quillet_CopyCount" + suffix;
    const std::string own = ".u" + std::to_string(::geteuid());
    auto as = [&](const char* user, const char* action) {
        QuilletTest::HelperProcess helper(L"shm_as", {FromUtf8(user), FromUtf8(action), FromUtf8(table),
                                                      FromUtf8(mutex)});
        std::string line;
        helper.ReadLine(line);
        return line;
    };
    // Objects made before the host's first counter: what another user (or an
    // older version, 0666) may have left under the print path's names.
    const struct {
        const char* what;
        std::function<void()> before;
        Platform::SharedScope scope;   // where the host counts
        std::string otherSees, lpSees;  // what each may do to the print path's objects
    } rows[] = {
        {"none planted: the print system's alone", [] {}, Platform::SharedScope::PrintPath, "denied denied ",
         "opened opened "},
        {"another user's table", [&] { Plant(table, 26800, 0, otherUid, 0666); }, Platform::SharedScope::User,
         "wrecked denied ", "opened opened "},
        {"another user's mutex", [&] { Plant(mutex, 4096, 0, otherUid); }, Platform::SharedScope::User,
         "denied wrecked ", "denied denied "},
        {"a table others may write", [&] { Plant(table, 26800, 0, 0, 0666); }, Platform::SharedScope::User,
         "wrecked denied ", "opened opened "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SetNameSuffixForTests(FromUtf8(suffix));
        row.before();
        CopyCount counter(L"Victim");
        counter.Start();
        counter.AddCopy();
        EXPECT_EQ(GetScope(), row.scope);
        EXPECT_EQ(as("lp", "open"), row.lpSees);
        // The other user wrecks whatever it can, between the host's copies.
        EXPECT_EQ(as("quillet-test", "wreck"), row.otherSees);
        counter.AddCopy();
        RemoteCounter sameUser(suffix);
        ASSERT_EQ(sameUser.Call("open Victim"), "ok");
        ASSERT_EQ(sameUser.Call("add 1"), "ok");
        EXPECT_EQ(counter.GetCopies(), 3);
        // What the host made is the print system's, or its user's alone.
        struct stat status {};
        ASSERT_TRUE(StatObject(row.scope == Platform::SharedScope::User ? table + own : table, status));
        EXPECT_EQ(status.st_mode & 0777, row.scope == Platform::SharedScope::User ? 0600u : 0660u);
        EXPECT_EQ(status.st_gid, row.scope == Platform::SharedScope::User ? 0u : lpGid);
        RemoveObjectsForTests();
    }
}

}  // namespace
}  // namespace Quillet
