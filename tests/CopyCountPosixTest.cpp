// Tests of the copy counter's POSIX shared objects: their bytes and modes,
// objects a dead creator or another user left, and what other users can do.
#include "TestSupport.h"
#include "support/CopyCountFixture.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>

namespace Quillet {
namespace {

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

/// Mode bits, owner and size of the shared object path.
bool StatObject(const std::string& path, struct stat& status)
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
void Plant(const std::string& path, off_t size, std::uint32_t firstWord = 0, uid_t owner = ::geteuid(),
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
