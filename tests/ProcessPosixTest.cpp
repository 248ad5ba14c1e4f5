// Child processes on POSIX: death by a signal, reaping, the descriptors a
// child gets, Landlock and seccomp confinement, and SIGPIPE, with the test
// binary relaunched as the child.
#include "support/ChildRun.h"
#include "support/Files.h"
#include "support/HelperProcess.h"

#include "platform/ChildProcess.h"
#include "platform/posix/Internal.h"
#include "platform/Confinement.h"
#include "platform/Pipe.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <iostream>
#include <fcntl.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Quillet;
using namespace Quillet::Platform;
using QuilletTest::HelperCommand;

QUILLET_TEST_HELPER(proc_signal)
{
    std::signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
    return 0;
}

// "N TARGET" and a NUL per open descriptor.
QUILLET_TEST_HELPER(proc_fds)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return 1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir))
            continue;
        char target[512] = {};
        readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target, sizeof target - 1);
        std::cout << entry->d_name << ' ' << target << '\0';
    }
    closedir(dir);
    return 0;
}

// Tries each operation of its arguments and prints a line for each: "1" when
// it was allowed, "0" when refused. read:PATH, write:PATH, socket:inet,
// socket:inet6, socket:unix, socket:netlink, uring; env:NAME prints the value.
QUILLET_TEST_HELPER(proc_reach)
{
    for (int i = 0; i < argc; ++i) {
        const std::string op = argv[i];
        const std::string arg = op.substr(op.find(':') + 1);
        int fd = -1;
        if (op.rfind("read:", 0) == 0) {
            fd = open(arg.c_str(), O_RDONLY | O_CLOEXEC);
        } else if (op.rfind("write:", 0) == 0) {
            fd = open(arg.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        } else if (op.rfind("socket:", 0) == 0) {
            const int family = arg == "inet"    ? AF_INET
                               : arg == "inet6" ? AF_INET6
                               : arg == "unix"  ? AF_UNIX
                                                : AF_NETLINK;
            fd = socket(family, family == AF_INET ? SOCK_DGRAM : SOCK_STREAM, 0);
            if (family == AF_NETLINK && fd < 0)
                fd = socket(AF_NETLINK, SOCK_RAW, 0);
        } else if (op == "uring") {
            unsigned char params[120] = {};  // struct io_uring_params
            fd = static_cast<int>(syscall(SYS_io_uring_setup, 1, params));
        } else if (op.rfind("env:", 0) == 0) {
            const char* value = std::getenv(arg.c_str());
            std::cout << (value ? value : "") << "\n";
            continue;
        }
        std::cout << (fd >= 0 ? "1\n" : "0\n");
        if (fd >= 0)
            close(fd);
    }
    return 0;
}

class ProcessPosixTest : public testing::Test {
protected:
    using Result = QuilletTest::ChildRun;

    static Result Run(const std::vector<std::wstring>& argv,
                      const std::vector<std::pair<std::wstring, std::wstring>>& environment = {},
                      const Confinement* confinement = nullptr)
    {
        return QuilletTest::RunChild(argv, environment, confinement);
    }

    static std::string Drain(NativeHandle source) { return QuilletTest::DrainPipe(source); }
    static std::vector<std::string> SplitNul(const std::string& text) { return QuilletTest::SplitNul(text); }

    // True when pid is no child of ours any more (reaped, not a zombie).
    static bool IsReaped(std::int64_t pid)
    {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 &&
               errno == ECHILD;
    }
};

TEST_F(ProcessPosixTest, SignalDeathIsKilledWithTheSignal)
{
    const ChildEnd signalled = Run(HelperCommand(L"proc_signal")).end;
    EXPECT_EQ(signalled.kind, ChildEnd::Kind::Killed);
    EXPECT_EQ(signalled.code, SIGTERM);
    EXPECT_EQ(signalled.Describe(), "signal " + std::to_string(SIGTERM));
}

TEST_F(ProcessPosixTest, KilledOrDestroyedChildIsReaped)
{
    ChildProcess child;
    ASSERT_FALSE(ChildProcess::Spawn(HelperCommand(L"proc_hang"), {}, child));
    const std::int64_t pid = child.GetProcessId();
    child.Kill();
    const auto killed = child.Wait(-1);
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->code, SIGKILL);
    EXPECT_TRUE(IsReaped(pid));

    // An owner that goes away (after a move) with its child still running.
    std::int64_t hangingPid = -1;
    {
        ChildProcess hanging;
        ASSERT_FALSE(ChildProcess::Spawn(HelperCommand(L"proc_hang"), {}, hanging));
        hangingPid = hanging.GetProcessId();
        ChildProcess target(std::move(hanging));
        EXPECT_FALSE(IsReaped(hangingPid));
    }
    EXPECT_TRUE(IsReaped(hangingPid));
    EXPECT_NE(access(("/proc/" + std::to_string(hangingPid)).c_str(), F_OK), 0);
}

TEST_F(ProcessPosixTest, ChildGetsExactlyItsThreeDescriptors)
{
    // A descriptor the host left inheritable must not reach the child either.
    const int inheritable = open("/dev/zero", O_RDONLY);
    ASSERT_GE(inheritable, 0);
    const Result result = Run(HelperCommand(L"proc_fds"));
    close(inheritable);
    ASSERT_TRUE(result.started);
    EXPECT_TRUE(result.end.Succeeded());
    const std::vector<std::string> lines = SplitNul(result.output);
    ASSERT_EQ(lines.size(), 3u) << result.output;
    EXPECT_EQ(lines[0], "0 /dev/null");
    EXPECT_EQ(lines[1].rfind("1 pipe:", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "2 /dev/null");
}

TEST_F(ProcessPosixTest, StandardHandlesThatAreThemselvesStandardNumbers)
{
    // stdOut is descriptor 0 of the parent: the dup2 onto 0 must not destroy
    // it before it reaches slot 1.
    PipePair output;
    ASSERT_TRUE(CreatePipe(output));
    const int savedStdin = fcntl(0, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(savedStdin, 0);
    ASSERT_EQ(dup3(Fd(output.write.Get()), 0, O_CLOEXEC), 0);
    ChildProcess child;
    SpawnOptions toZero;
    toZero.stdOut = HandleOf(0);
    const bool started = !ChildProcess::Spawn(HelperCommand(L"proc_args", {L"via-zero"}), toZero, child);
    dup2(savedStdin, 0);
    close(savedStdin);
    output.write.Close();
    ASSERT_TRUE(started);
    EXPECT_EQ(Drain(output.read.Get()), std::string("via-zero") + '\0');
}

TEST_F(ProcessPosixTest, ConfinedChildReachesOnlyWhatItsRulesAllow)
{
    const ConfinementSupport& support = GetConfinementSupport();
    const QuilletTest::ScratchFolder scratch("quillet-reach");
    const std::string outside = scratch.path;
    const std::string secret = outside + "/secret";
    QuilletTest::WriteWholeFile(secret, "x");
    PrivateFolder output(L"quillet-reach-out");
    PrivateFolder temporary(L"quillet-reach-tmp");
    ConfinementRules rules = GhostscriptRules(L"", output.GetPath(), temporary.GetPath());
    // The helper is this binary; a sanitizer's runtime in it reads /proc and
    // the suppressions below the tests.
    rules.readable.push_back(FromUtf8(std::filesystem::canonical(QuilletTest::SelfPath()).parent_path().string()));
    rules.readable.push_back(L"/proc");
    rules.readable.push_back(FromUtf8(QUILLET_SOURCE_DIR "/tests"));
    const Confinement confinement(rules);
    ASSERT_TRUE(confinement.IsReady());

    // Operation, allowed when confined (where the system confines it), and
    // allowed without confinement, which shows the operation itself works.
    const struct {
        std::string op;
        bool confined;
        bool files;  // a file rule (else a network rule) decides
    } cases[] = {
        {"read:/usr/share/ghostscript", true, true},
        {"read:" + secret, false, true},
        {"read:/etc/hostname", false, true},
        {"write:" + ToUtf8(output.GetPath()) + "/page", true, true},
        {"write:" + ToUtf8(temporary.GetPath()) + "/scratch", true, true},
        {"write:" + outside + "/planted", false, true},
        {"socket:inet", false, false},
        {"socket:inet6", false, false},
        {"socket:unix", false, false},
        {"socket:netlink", false, false},
        {"uring", false, false},
    };
    std::vector<std::wstring> args;
    for (const auto& c : cases)
        args.push_back(FromUtf8(c.op));
    args.push_back(L"env:TMPDIR");
    const Result free = Run(HelperCommand(L"proc_reach", args));
    const Result confined = Run(HelperCommand(L"proc_reach", args), {}, &confinement);
    ASSERT_TRUE(confined.started);
    EXPECT_TRUE(confined.end.Succeeded());
    std::istringstream freeLines(free.output), confinedLines(confined.output);
    for (const auto& c : cases) {
        std::string before, after;
        std::getline(freeLines, before);
        std::getline(confinedLines, after);
        const bool enforced = c.files ? support.files : support.network;
        if (c.op != "uring") {
            EXPECT_EQ(before, "1") << c.op;
        }
        EXPECT_EQ(after, !enforced || c.confined ? before : "0") << c.op;
    }
    std::string temp;
    std::getline(confinedLines, temp);
    EXPECT_EQ(temp, ToUtf8(temporary.GetPath()));
}

TEST_F(ProcessPosixTest, WriteToDeadReaderRaisesNoSignal)
{
    for (const bool callerBlocked : {false, true}) {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigset_t before;
        pthread_sigmask(callerBlocked ? SIG_BLOCK : SIG_UNBLOCK, &pipeOnly, &before);

        PipePair pipe;
        ASSERT_TRUE(CreatePipe(pipe));
        pipe.read.Close();
        std::size_t count = 0;
        // Without the protection the default action would end this process here.
        EXPECT_EQ(WriteSome(pipe.write.Get(), "abc", 3, count), IoStatus::Error);

        // The caller's mask is as it was, and no SIGPIPE is left pending.
        sigset_t now;
        pthread_sigmask(SIG_BLOCK, nullptr, &now);
        EXPECT_EQ(sigismember(&now, SIGPIPE), callerBlocked ? 1 : 0);
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
}
