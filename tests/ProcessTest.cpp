// Child processes, pipes, confinement and the event loop on real
// descriptors, with the test binary relaunched as the child.
#include "support/Files.h"
#include "support/HelperProcess.h"

#include "platform/ChildProcess.h"
#include "platform/posix/Internal.h"
#include "platform/Confinement.h"
#include "platform/Event.h"
#include "platform/EventLoop.h"
#include "platform/Pipe.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Helper modes of the test binary; what they print goes out when they return.
QUILLET_TEST_HELPER(proc_exit) { return argc > 0 ? std::atoi(argv[0]) : 0; }

QUILLET_TEST_HELPER(proc_signal)
{
    std::signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
    return 0;
}

QUILLET_TEST_HELPER(proc_hang)
{
    for (;;)
        pause();
}

// Each argument followed by a NUL.
QUILLET_TEST_HELPER(proc_args)
{
    for (int i = 0; i < argc; ++i)
        std::cout << argv[i] << '\0';
    return 0;
}

QUILLET_TEST_HELPER(proc_env)
{
    extern char** environ;
    for (char** e = environ; *e; ++e)
        std::cout << *e << '\0';
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

class ProcessTest : public testing::Test {
protected:
    struct Result {
        bool started = false;
        std::string output;
        ChildEnd end{ChildEnd::Kind::Killed, -1};
    };

    // Runs a child with its output on a pipe, reads it all and reaps it.
    static Result Run(const std::vector<std::wstring>& argv,
                      const std::vector<std::pair<std::wstring, std::wstring>>& environment = {},
                      const Confinement* confinement = nullptr)
    {
        Result result;
        PipePair output;
        if (!CreatePipe(output))
            return result;
        ChildProcess child;
        SpawnOptions options;
        options.environment = environment;
        options.stdOut = output.write.Get();
        options.confinement = confinement;
        result.started = !ChildProcess::Spawn(argv, options, child);
        output.write.Close();
        if (!result.started)
            return result;
        result.output = Drain(output.read.Get());
        result.end = child.Wait(-1).value_or(result.end);
        return result;
    }

    static std::string Drain(NativeHandle source)
    {
        std::string text;
        char buffer[4096];
        std::size_t count = 0;
        while (ReadSome(source, buffer, sizeof buffer, count) == IoStatus::Ok)
            text.append(buffer, count);
        return text;
    }

    static std::vector<std::string> SplitNul(const std::string& text)
    {
        std::vector<std::string> parts;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
            parts.push_back(text.substr(start, end - start));
        return parts;
    }

    // True when pid is no child of ours any more (reaped, not a zombie).
    static bool IsReaped(std::int64_t pid)
    {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 &&
               errno == ECHILD;
    }
};

TEST_F(ProcessTest, ExitCodesSignalDeathAndSpawnFailure)
{
    // 255 is an exit code, not a signal: the end is told by its kind.
    const ChildEnd exited = Run(HelperCommand(L"proc_exit", {L"255"})).end;
    EXPECT_EQ(exited.kind, ChildEnd::Kind::Exited);
    EXPECT_EQ(exited.code, 255);
    const ChildEnd signalled = Run(HelperCommand(L"proc_signal")).end;
    EXPECT_EQ(signalled.kind, ChildEnd::Kind::Killed);
    EXPECT_EQ(signalled.code, SIGTERM);
    EXPECT_EQ(signalled.Describe(), "signal " + std::to_string(SIGTERM));

    ChildProcess child;
    EXPECT_EQ(ChildProcess::Spawn({L"/nonexistent/program"}, {}, child), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(child.IsValid());
    EXPECT_FALSE(child.Wait(0));
}

TEST_F(ProcessTest, KilledOrDestroyedChildIsReaped)
{
    ChildProcess child;
    ASSERT_FALSE(ChildProcess::Spawn(HelperCommand(L"proc_hang"), {}, child));
    const std::int64_t pid = child.GetProcessId();
    EXPECT_FALSE(child.Wait(20));
    child.Kill();
    const auto killed = child.Wait(-1);
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->code, SIGKILL);
    EXPECT_TRUE(IsReaped(pid));
    // The end stays available, and a late Kill cannot reach another process.
    child.Kill();
    EXPECT_EQ(child.TryGetEnd().value_or(ChildEnd()).code, SIGKILL);

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

TEST_F(ProcessTest, ChildGetsExactlyItsThreeDescriptors)
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

TEST_F(ProcessTest, StandardHandlesThatAreThemselvesStandardNumbers)
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

TEST_F(ProcessTest, ExtraEnvironmentReachesOnlyTheChild)
{
    const char* home = std::getenv("HOME");
    const std::string homeBefore = home ? home : "";
    ASSERT_EQ(std::getenv("GS_LIB"), nullptr);
    const Result result =
        Run(HelperCommand(L"proc_env"), {{L"GS_LIB", L"/opt/\u00dcber/gs/lib"}, {L"HOME", L"/replaced"}});
    ASSERT_TRUE(result.started);
    const std::vector<std::string> entries = SplitNul(result.output);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), ToUtf8(L"GS_LIB=/opt/\u00dcber/gs/lib")), 1);
    // A replaced variable appears once; the rest is inherited.
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const std::string& e) { return e.rfind("HOME=", 0) == 0; }),
              1);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "HOME=/replaced"), 1);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), std::string("PATH=") + std::getenv("PATH")), 1);
    // The host's own environment is untouched.
    EXPECT_EQ(std::getenv("GS_LIB"), nullptr);
    home = std::getenv("HOME");
    EXPECT_EQ(home ? home : "", homeBefore);
}

TEST_F(ProcessTest, ConfinedChildReachesOnlyWhatItsRulesAllow)
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

TEST_F(ProcessTest, WriteToDeadReaderIsAnErrorNotASignal)
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
        std::size_t count = 7;
        // Without the protection the default action would end this process here.
        EXPECT_EQ(WriteSome(pipe.write.Get(), "abc", 3, count), IoStatus::Error);
        EXPECT_EQ(LastError(), std::errc::broken_pipe);
        EXPECT_EQ(count, 0u);

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


TEST(EventLoopTest, MoreObjectsThanOneSystemWaitTakesDeliverEveryByteInOrderAndEveryEnd)
{
    // 80 pipes, each with more bytes than one completion carries and closed
    // by its writer, and 70 children, half of them killed: 150 objects.
    constexpr std::size_t kPipes = 80, kChildren = 70, kBytes = 3 * EventLoop::kReadSize + 5;
    EventLoop loop;
    std::vector<PipePair> pipes(kPipes);
    std::vector<std::string> sent(kPipes), got(kPipes);
    for (std::size_t i = 0; i < kPipes; ++i) {
        ASSERT_TRUE(CreatePipe(pipes[i]));
        for (std::size_t b = 0; b < kBytes; ++b)
            sent[i] += static_cast<char>('a' + (b * 7 + i) % 26);
        std::size_t count = 0;
        ASSERT_EQ(WriteSome(pipes[i].write.Get(), sent[i].data(), kBytes, count), IoStatus::Ok);
        ASSERT_EQ(count, kBytes);
        pipes[i].write.Close();
        loop.AddReader(pipes[i].read.Get(), 1000 + i);
    }
    std::vector<ChildProcess> children(kChildren);
    for (std::size_t i = 0; i < kChildren; ++i) {
        ASSERT_FALSE(ChildProcess::Spawn(HelperCommand(i % 2 ? L"proc_hang" : L"proc_exit", {std::to_wstring(i)}), {},
                                         children[i]));
        if (i % 2)
            children[i].Kill();
        loop.AddChild(children[i], 2000 + i);
    }
    // A set event is ready with the others and has the lowest key: it comes first.
    Event event(true);
    event.Set();
    loop.AddEvent(event, 1);
    std::vector<int> ends(kPipes + kChildren);
    bool first = true;
    while (std::count(ends.begin(), ends.end(), 1) < static_cast<long>(ends.size())) {
        const std::optional<Completion> done = loop.Wait(60000);
        ASSERT_TRUE(done);
        EXPECT_EQ(done->key == 1, first);
        first = false;
        if (done->key == 1) {
            EXPECT_EQ(done->kind, CompletionKind::Signalled);
            loop.Remove(1);
        } else if (done->key >= 2000) {
            ASSERT_EQ(done->kind, CompletionKind::ChildEnded);
            const std::size_t i = done->key - 2000;
            ++ends[kPipes + i];
            const ChildEnd end = children[i].TryGetEnd().value_or(ChildEnd{ChildEnd::Kind::Exited, -1});
            EXPECT_EQ(end.kind, i % 2 ? ChildEnd::Kind::Killed : ChildEnd::Kind::Exited) << i;
            EXPECT_EQ(end.code, i % 2 ? SIGKILL : static_cast<int>(i)) << i;
        } else {
            const std::size_t i = done->key - 1000;
            ASSERT_EQ(ends[i], 0) << "bytes after the end of pipe " << i;
            if (done->kind == CompletionKind::Read)
                got[i].append(done->data, done->size);
            else
                ++ends[i];
            EXPECT_NE(done->kind, CompletionKind::Failed);
        }
    }
    EXPECT_EQ(got, sent);
    EXPECT_FALSE(loop.Wait(0));  // every object has ended and is forgotten
}

TEST(EventLoopTest, WritesCompleteAsTheReaderTakesThemAndFailWhenItHasGone)
{
    PipePair pipe;
    ASSERT_TRUE(CreatePipe(pipe));
    SetPipeCapacity(pipe.write.Get(), 4096);
    EventLoop loop;
    loop.AddWriter(pipe.write.Get(), 1);
    loop.AddReader(pipe.read.Get(), 2);
    std::string sent(EventLoop::kWriteSize + 1000, 'x');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i % 251);
    // The loop takes one piece at a time, more than the pipe holds.
    ASSERT_EQ(loop.Write(1, sent.data(), sent.size()), EventLoop::kWriteSize);
    EXPECT_EQ(loop.Write(1, sent.data(), sent.size()), 0u);
    std::string got;
    for (std::size_t at = EventLoop::kWriteSize; got.size() < sent.size();) {
        const std::optional<Completion> done = loop.Wait(60000);
        ASSERT_TRUE(done);
        if (done->key == 2) {
            ASSERT_EQ(done->kind, CompletionKind::Read);
            got.append(done->data, done->size);
        } else {
            ASSERT_EQ(done->kind, CompletionKind::Written);
            at += loop.Write(1, sent.data() + at, sent.size() - at);
        }
    }
    EXPECT_EQ(got, sent);

    // The last piece was written before its bytes could be read.
    EXPECT_FALSE(loop.IsWriting(1));
    loop.Remove(2);
    pipe.read.Close();
    ASSERT_EQ(loop.Write(1, "abc", 3), 3u);
    const std::optional<Completion> failed = loop.Wait(60000);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->kind, CompletionKind::Failed);
    EXPECT_EQ(failed->error, std::errc::broken_pipe);
    EXPECT_FALSE(loop.Has(1));
}
