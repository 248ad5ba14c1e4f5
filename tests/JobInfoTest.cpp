// Tests of JobInfo: parameter strings, job keys, and every source of job data
// (files, FIFOs, pipe names, handles of this and other processes, standard
// input), with a spooler's write lock and descriptor leaks.
#include "capture/JobInfo.h"

#include "TestSupport.h"
#include "support/Files.h"
#include "support/HelperProcess.h"
#include "platform/FileHandle.h"
#include "platform/posix/Internal.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace Quillet {
namespace {

using Platform::kInvalidHandle;
using Platform::kNullHandle;
using Platform::NativeHandle;
using Platform::ReadStatus;

// Helper processes. Each reports on standard output and ends when its
// standard input reaches its end, so the test decides how long it lives.

void WaitForEndOfInput()
{
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
}

// job_open_and_wait PATH: opens PATH and prints the descriptor's number.
QUILLET_TEST_HELPER(job_open_and_wait)
{
    const int fd = argc > 0 ? ::open(argv[0], O_RDONLY) : -1;
    if (fd < 0)
        return 2;
    std::printf("%d\n", fd);
    std::fflush(stdout);
    WaitForEndOfInput();
    return 0;
}

// job_lock_tail PATH OFFSET: write-locks PATH from OFFSET to its end and
// beyond, as a spooler does with the part it has not written yet.
QUILLET_TEST_HELPER(job_lock_tail)
{
    const int fd = argc > 1 ? ::open(argv[0], O_RDWR) : -1;
    if (fd < 0)
        return 2;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = std::atol(argv[1]);
    lock.l_len = 0;
    if (::fcntl(fd, F_SETLK, &lock) != 0)
        return 3;
    std::printf("locked\n");
    std::fflush(stdout);
    WaitForEndOfInput();
    return 0;
}

// job_dup_as_other_user PID FD: as the unprivileged user "nobody", applies
// "handle=FD pid=PID". Exit 10: duplicated, 11: refused, 2: no user switch.
QUILLET_TEST_HELPER(job_dup_as_other_user)
{
    if (argc < 2 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        return 2;
    JobInfo job(L"");
    const std::wstring keys = L"handle=" + FromUtf8(argv[1]) + L" pid=" + FromUtf8(argv[0]);
    return job.Parse(keys) ? 10 : 11;
}

// job_stdin_closed: a standard-input job in a process whose descriptor 0 is
// closed. Exit 0 when it is not ready and cannot be opened.
QUILLET_TEST_HELPER(job_stdin_closed)
{
    ::close(STDIN_FILENO);
    JobInfo job(L"-docname x.doc -printername Q");
    if (!job.useStandardInput)
        return 2;
    return !job.IsDataSourceReady() && job.OpenDataSource() == kNullHandle ? 0 : 1;
}

using Helper = QuilletTest::HelperProcess;

/// Reads a source to its end; Locked and Error show up in the text.
std::string ReadAll(NativeHandle source)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        std::size_t count = 0;
        switch (Platform::ReadSource(source, buffer, sizeof buffer, count)) {
        case ReadStatus::Data:
            text.append(buffer, count);
            break;
        case ReadStatus::End:
            return text;
        case ReadStatus::Locked:
            return text + "<locked>";
        case ReadStatus::Error:
            return text + "<error>";
        }
    }
}

using QuilletTest::OpenDescriptorCount;

/// Writes text into the FIFO at path from another thread, after delayMs.
std::thread WriteFifoLater(const std::string& path, const std::string& text, int delayMs)
{
    return std::thread([=] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    });
}

class JobInfoTest : public testing::Test {
protected:
    std::string WriteFile(const std::string& name, const std::string& text) { return scratch.Write(name, text); }

    QuilletTest::ScratchFolder scratch{"quillet-jobinfo"};
    const std::string dir = scratch.path + "/";
    const std::string content = "%!PS-Adobe-3.0\nshowpage\n";
};

TEST(JobInfoParams, StringsAndKeysFillTheFields)
{
    struct Case {
        std::wstring params;
        const wchar_t* docName;
        const wchar_t* printJobFile;
        bool standardInput;
    };
    const Case cases[] = {
        {L"", L"", L"", false},
        // Without docname the string is the document; a PostScript document
        // is its own print job.
        {L"/home/u/My Files/x.Ps", L"/home/u/My Files/x.Ps", L"/home/u/My Files/x.Ps", false},
        {LR"(C:\a.ps\report)", LR"(C:\a.ps\report)", L"", false},
        {L"DocName=x.doc", L"DocName=x.doc", L"", false},  // keys are case-sensitive
        {L"printername=Q", L"printername=Q", L"", true},
        {LR"(docname="C:\My Files\r.doc" printjobfile=C:\t\j.ps)", LR"(C:\My Files\r.doc)", LR"(C:\t\j.ps)", false},
        {L"-docname x.doc -printername Q", L"x.doc", L"", true},
        {L"docname=a docname=b file=f printjobfile=p", L"a", L"f", false},
        // A print-job file means the data does not come from standard input.
        {L"docname=d printjobfile=j printername=Q", L"d", L"j", false},
    };
    for (const Case& c : cases) {
        JobInfo job(c.params);
        EXPECT_EQ(job.GetDocName(), c.docName) << ToUtf8(c.params);
        EXPECT_EQ(job.GetPrintJobFile(), c.printJobFile) << ToUtf8(c.params);
        EXPECT_EQ(job.useStandardInput, c.standardInput) << ToUtf8(c.params);
    }

    // Later keys replace the job but keep the document and the intent.
    JobInfo job(L"docname=a.doc");
    job.intent = L"proof";
    EXPECT_TRUE(job.Parse(L"printername=Q intent=other"));
    EXPECT_TRUE(job.useStandardInput);
    EXPECT_TRUE(job.Parse(LR"(printjobfile=C:\t\j.ps)"));
    EXPECT_EQ(job.GetDocName(), L"a.doc");
    EXPECT_FALSE(job.useStandardInput);
    EXPECT_EQ(job.intent, L"proof");
}

TEST_F(JobInfoTest, FilesAreReadyOpenedOnceAndRewoundWhatIsNotAFileIsNot)
{
    std::filesystem::create_directory(dir + "folder");
    const std::string missing = dir + "later.ps";
    // A NUL cannot be part of a path: it must not cut the name short.
    const std::wstring cut = FromUtf8(WriteFile("real", content)) + std::wstring(1, L'\0') + L"tail";
    for (const std::wstring& name : {FromUtf8(dir + "folder"), FromUtf8(missing), std::wstring(L"/dev/null"), cut}) {
        JobInfo job(L"docname=d");
        job.printJobFile = name;
        EXPECT_FALSE(job.IsDataSourceReady()) << ToUtf8(name);
        if (name != L"/dev/null") {
            EXPECT_EQ(job.OpenDataSource(), kNullHandle) << ToUtf8(name);
        }
    }

    // A failed open leaves nothing held, so the next call tries again; the
    // opened file is kept and read again from its start.
    JobInfo later(L"docname=d printjobfile=\"" + FromUtf8(missing) + L"\"");
    EXPECT_EQ(later.OpenDataSource(), kNullHandle);
    WriteFile("later.ps", content);
    EXPECT_TRUE(later.IsDataSourceReady());
    const NativeHandle source = later.OpenDataSource();
    EXPECT_EQ(ReadAll(source), content);
    EXPECT_EQ(later.OpenDataSource(), source);
    EXPECT_EQ(ReadAll(source), content);
}

TEST_F(JobInfoTest, FifoOrPipeNameOpensWithoutAWriterAndWaitsForItsData)
{
    const std::string folder = ToUtf8(Platform::PipeFolder());
    if (::mkdir(folder.c_str(), 01777) == 0)
        ::chmod(folder.c_str(), 01777);
    const std::string name = "jobinfo-test-" + std::to_string(::getpid());
    const std::string fifo = folder + name;
    ::unlink(fifo.c_str());

    JobInfo job(L"docname=d printjobfile=\\\\.\\pipe\\" + FromUtf8(name));
    EXPECT_FALSE(job.IsDataSourceReady()) << "no FIFO yet";
    EXPECT_EQ(job.OpenDataSource(), kNullHandle);

    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::wstring& path : {L"\\\\.\\pipe\\" + FromUtf8(name), FromUtf8(fifo)}) {
        JobInfo reader(L"docname=d printjobfile=" + path);
        EXPECT_TRUE(reader.IsDataSourceReady());
        const NativeHandle source = reader.OpenDataSource();  // must not wait for a writer
        ASSERT_NE(source, kNullHandle);
        // The writer comes late: the reader must wait for it, not see an end.
        std::thread writer = WriteFifoLater(fifo, content, 100);
        EXPECT_EQ(ReadAll(source), content);
        writer.join();
    }
    ::unlink(fifo.c_str());
    EXPECT_FALSE(job.IsDataSourceReady());

    // A pipe name never reaches outside the pipe folder.
    const std::string outside = WriteFile("outside", content);
    for (const std::wstring& escape : {L"../" + FromUtf8(outside.substr(5)), std::wstring(L".."),
                                       std::wstring(L"")}) {
        JobInfo escaping(L"docname=d");
        escaping.printJobFile = L"\\\\.\\pipe\\" + escape;
        EXPECT_FALSE(escaping.IsDataSourceReady()) << ToUtf8(escape);
        EXPECT_EQ(escaping.OpenDataSource(), kNullHandle) << ToUtf8(escape);
    }
}

TEST_F(JobInfoTest, HandleOfThisProcessIsDuplicatedRewoundAndNeverLeaked)
{
    const std::string path = WriteFile("job.ps", content);
    const std::size_t before = OpenDescriptorCount();
    auto job = std::make_unique<JobInfo>(L"docname=d");
    const int original = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(original, 0);

    // Without "pid" the handle is one of this process; "printername" is
    // not looked at when a handle is given. Each new duplicate replaces (and
    // closes) the one held before.
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(job->Parse(L"handle=" + std::to_wstring(original) + L" printername=Q"));
    EXPECT_FALSE(job->useStandardInput);
    const NativeHandle held = job->impl->handle.Get();
    ASSERT_NE(held, kInvalidHandle);
    EXPECT_NE(held, Platform::HandleOf(original));
    EXPECT_FALSE(job->IsDataSourceReady()) << "readiness looks at the print-job file only";
    ::close(original);  // the duplicate is independent of the original descriptor
    EXPECT_EQ(OpenDescriptorCount(), before + 1);

    EXPECT_EQ(job->OpenDataSource(), held);
    EXPECT_EQ(ReadAll(held), content);
    EXPECT_EQ(ReadAll(job->OpenDataSource()), content) << "a held handle is rewound";

    // Failed duplications report false and leave the held handle alone.
    for (const wchar_t* keys : {L"handle=abc", L"handle=99999", L"handle=99999999999", L"handle=0 pid=none",
                                L"handle=0 pid=2147483000"}) {
        EXPECT_FALSE(job->Parse(keys)) << ToUtf8(keys);
        EXPECT_EQ(job->impl->handle.Get(), held) << ToUtf8(keys);
    }
    job.reset();
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(JobInfoTest, HandleFromAnotherProcess)
{
    const std::string path = WriteFile("job.ps", content);
    Helper helper(L"job_open_and_wait", {FromUtf8(path)});
    const std::string number = helper.ReadLine();
    ASSERT_FALSE(number.empty());

    JobInfo job(L"docname=d");
    EXPECT_TRUE(job.Parse(L"pid=" + std::to_wstring(helper.GetProcessId()) + L" handle=" +
                          FromUtf8(number)));
    const NativeHandle source = job.OpenDataSource();
    ASSERT_NE(source, kNullHandle);
    EXPECT_EQ(ReadAll(source), content);
    // A handle number the process does not have.
    EXPECT_FALSE(job.Parse(L"handle=9999 pid=" + std::to_wstring(helper.GetProcessId())));
    EXPECT_EQ(job.impl->handle.Get(), source);
    EXPECT_EQ(helper.Finish(), 0);
    // The duplicate outlives the process it came from.
    EXPECT_EQ(ReadAll(job.OpenDataSource()), content);
}

TEST_F(JobInfoTest, ProcessThatMayNotBeReadIsRefused)
{
    const std::string path = WriteFile("job.ps", content);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if (::geteuid() == 0) {
        // We may read every process; an unprivileged user may not read ours.
        Helper helper(L"job_dup_as_other_user",
                      {std::to_wstring(::getpid()), std::to_wstring(fd)});
        const int code = helper.Finish();
        ::close(fd);
        if (code == 2)
            GTEST_SKIP() << "cannot switch to user nobody";
        EXPECT_EQ(code, 11);
    } else {
        ::close(fd);
        struct stat init {};
        if (::stat("/proc/1", &init) != 0 || init.st_uid == ::geteuid())
            GTEST_SKIP() << "process 1 belongs to us";
        JobInfo job(L"docname=d");
        EXPECT_FALSE(job.Parse(L"handle=0 pid=1"));
        EXPECT_FALSE(job.impl->handle.IsValid());
    }
}

TEST_F(JobInfoTest, StandardInput)
{
    JobInfo job(L"-docname x.doc -printername Q");
    ASSERT_TRUE(job.useStandardInput);
    const bool stdinOpen = ::fcntl(STDIN_FILENO, F_GETFD) != -1;
    EXPECT_EQ(job.IsDataSourceReady(), stdinOpen);
    EXPECT_EQ(job.OpenDataSource(), stdinOpen ? Platform::HandleOf(STDIN_FILENO) : kNullHandle);
    EXPECT_FALSE(job.impl->handle.IsValid()) << "standard input is not owned";

    Helper closed(L"job_stdin_closed", {});
    EXPECT_EQ(closed.Finish(), 0);

    // A standard-input job with a held handle reads the handle from where it
    // stands, without rewinding.
    const std::string path = WriteFile("job.ps", content);
    const int original = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(original, 0);
    ASSERT_TRUE(job.Parse(L"handle=" + std::to_wstring(original)));
    ::close(original);
    char head[4];
    std::size_t count = 0;
    ASSERT_EQ(Platform::ReadSource(job.impl->handle.Get(), head, sizeof head, count), ReadStatus::Data);
    ASSERT_TRUE(job.Parse(L"printername=Q"));
    EXPECT_TRUE(job.useStandardInput);
    EXPECT_EQ(job.OpenDataSource(), job.impl->handle.Get());
    EXPECT_EQ(ReadAll(job.OpenDataSource()), content.substr(count));
}

TEST_F(JobInfoTest, SpoolerWriteLockReportsLockedUntilReleased)
{
    const std::string path = WriteFile("spool.ps", content);
    Helper spooler(L"job_lock_tail", {FromUtf8(path), L"10"});
    ASSERT_EQ(spooler.ReadLine(), "locked");

    JobInfo job(L"docname=d printjobfile=" + FromUtf8(path));
    const NativeHandle source = job.OpenDataSource();
    ASSERT_NE(source, kNullHandle);
    char buffer[8192];
    std::size_t count = 0;
    // The part before the lock is read, and no further.
    ASSERT_EQ(Platform::ReadSource(source, buffer, sizeof buffer, count), ReadStatus::Data);
    EXPECT_EQ(std::string(buffer, count), content.substr(0, 10));
    EXPECT_EQ(Platform::ReadSource(source, buffer, sizeof buffer, count), ReadStatus::Locked);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Platform::ReadSource(source, buffer, sizeof buffer, count), ReadStatus::Locked);

    EXPECT_EQ(spooler.Finish(), 0);  // its locks end with it
    EXPECT_EQ(ReadAll(source), content.substr(10));
}

}  // namespace
}  // namespace Quillet
