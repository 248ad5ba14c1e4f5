// Child processes, pipes and the event loop on every system, with the test
// binary relaunched as the child (the POSIX-only cases are in
// ProcessPosixTest.cpp).
#include "support/ChildRun.h"
#include "support/HelperProcess.h"
#include "support/ScopedEnv.h"

#include "platform/ChildProcess.h"
#include "platform/Event.h"
#include "platform/EventLoop.h"
#include "platform/Pipe.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

using namespace Quillet;
using namespace Quillet::Platform;
using QuilletTest::ChildRun;
using QuilletTest::HelperCommand;
using QuilletTest::RunChild;
using QuilletTest::SplitNul;

// Helper modes of the test binary; what they print goes out when they return.
QUILLET_TEST_HELPER(proc_exit) { return argc > 0 ? std::atoi(argv[0]) : 0; }

QUILLET_TEST_HELPER(proc_hang)
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// Each argument followed by a NUL.
QUILLET_TEST_HELPER(proc_args)
{
    for (int i = 0; i < argc; ++i)
        std::cout << argv[i] << '\0';
    return 0;
}

// "NAME=VALUE" (or "NAME" when it is not set) and a NUL for each argument.
QUILLET_TEST_HELPER(proc_env)
{
    for (int i = 0; i < argc; ++i) {
        const char* value = std::getenv(argv[i]);
        std::cout << argv[i] << (value ? std::string("=") + value : std::string()) << '\0';
    }
    return 0;
}

TEST(ProcessTest, ExitCodesAndSpawnFailures)
{
    // 255 is an exit code, not a signal: the end is told by its kind.
    const ChildEnd exited = RunChild(HelperCommand(L"proc_exit", {L"255"})).end;
    EXPECT_EQ(exited.kind, ChildEnd::Kind::Exited);
    EXPECT_EQ(exited.code, 255);
    EXPECT_EQ(exited.Describe(), "exit code 255");
    EXPECT_TRUE(RunChild(HelperCommand(L"proc_exit", {L"0"})).end.Succeeded());

    ChildProcess child;
    EXPECT_EQ(ChildProcess::Spawn({L"/nonexistent/program"}, {}, child), std::errc::no_such_file_or_directory);
    EXPECT_EQ(ChildProcess::Spawn({}, {}, child), std::errc::invalid_argument);
    EXPECT_FALSE(child.IsValid());
    EXPECT_FALSE(child.Wait(0));
}

TEST(ProcessTest, ArgumentsReachTheChildAsGiven)
{
    // A system that starts children from one line must quote each of these
    // so that the child's runtime splits them back.
    const std::vector<std::wstring> args{L"plain", L"two words", L"", L"quote\"inside", L"\"", L"back\\slash",
                                         L"ends in \\", L"\\\"mixed\\\"", L"tab\there", L"-f%x"};
    const ChildRun result = RunChild(HelperCommand(L"proc_args", args));
    ASSERT_TRUE(result.started);
    const std::vector<std::string> got = SplitNul(result.output);
    ASSERT_EQ(got.size(), args.size()) << result.output;
    for (std::size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(got[i], ToUtf8(args[i])) << i;
}

TEST(ProcessTest, KilledChildEndsAndAGoneOwnerKillsItsChild)
{
    ChildProcess child;
    ASSERT_FALSE(ChildProcess::Spawn(HelperCommand(L"proc_hang"), {}, child));
    EXPECT_FALSE(child.Wait(20));
    child.Kill();
    const auto killed = child.Wait(-1);
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->kind, ChildEnd::Kind::Killed);
    // The end stays available, and a late Kill cannot reach another process.
    child.Kill();
    EXPECT_EQ(child.TryGetEnd().value_or(ChildEnd()).code, killed->code);

    // An owner that goes away (after a move) with its child still running:
    // the child's end of its output pipe closes, which only its end does.
    PipePair output;
    ASSERT_TRUE(CreatePipe(output));
    {
        SpawnOptions options;
        options.stdOut = output.write.Get();
        ChildProcess hanging;
        ASSERT_FALSE(ChildProcess::Spawn(HelperCommand(L"proc_hang"), options, hanging));
        ChildProcess target(std::move(hanging));
        output.write.Close();
    }
    char byte;
    std::size_t count = 0;
    EXPECT_EQ(ReadSome(output.read.Get(), &byte, 1, count), IoStatus::End);
}

TEST(ProcessTest, ExtraEnvironmentReachesOnlyTheChild)
{
    const QuilletTest::ScopedEnv replaced("QUILLET_TEST_REPLACED", "host");
    ASSERT_EQ(std::getenv("GS_LIB"), nullptr);
    const ChildRun result =
        RunChild(HelperCommand(L"proc_env", {L"GS_LIB", L"QUILLET_TEST_REPLACED", L"PATH"}),
                 {{L"GS_LIB", L"/opt/gs/lib"}, {L"QUILLET_TEST_REPLACED", L"child"}});
    ASSERT_TRUE(result.started);
    const std::vector<std::string> entries = SplitNul(result.output);
    ASSERT_EQ(entries.size(), 3u) << result.output;
    EXPECT_EQ(entries[0], "GS_LIB=/opt/gs/lib");
    // A replaced variable has the new value (a duplicate would show the old).
    EXPECT_EQ(entries[1], "QUILLET_TEST_REPLACED=child");
    EXPECT_EQ(entries[2], std::string("PATH=") + std::getenv("PATH"));
    // The host's own environment is untouched.
    EXPECT_EQ(std::getenv("GS_LIB"), nullptr);
    EXPECT_STREQ(std::getenv("QUILLET_TEST_REPLACED"), "host");
}

TEST(ProcessTest, WriteToDeadReaderIsAnError)
{
    PipePair pipe;
    ASSERT_TRUE(CreatePipe(pipe));
    pipe.read.Close();
    std::size_t count = 7;
    EXPECT_EQ(WriteSome(pipe.write.Get(), "abc", 3, count), IoStatus::Error);
    EXPECT_EQ(LastError(), std::errc::broken_pipe);
    EXPECT_EQ(count, 0u);
}

TEST(EventLoopTest, ALoopThatGoesLeavesEveryByteInThePipe)
{
    // A reader's bytes that arrive while a loop waits on it, and that loop
    // goes before it delivered them: the next loop gets them (one loop per
    // line, as a line reader has).
    PipePair pipe;
    ASSERT_TRUE(CreatePipe(pipe));
    std::size_t count = 0;
    {
        EventLoop first;
        first.AddReader(pipe.read.Get(), 1);
        EXPECT_FALSE(first.Wait(20));
        ASSERT_EQ(WriteSome(pipe.write.Get(), "abc", 3, count), IoStatus::Ok);
    }
    EventLoop next;
    next.AddReader(pipe.read.Get(), 1);
    const std::optional<Completion> done = next.Wait(60000);
    ASSERT_TRUE(done);
    ASSERT_EQ(done->kind, CompletionKind::Read);
    EXPECT_EQ(std::string(done->data, done->size), "abc");
    pipe.write.Close();
    const std::optional<Completion> end = next.Wait(60000);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->kind, CompletionKind::Ended);
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
            if (i % 2 == 0) {
                EXPECT_EQ(end.code, static_cast<int>(i)) << i;
            }
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
