// How runs fail: PostScript errors, full or read-only disks, empty and
// garbage jobs, folders that cannot be watched, a killed or missing
// Ghostscript. Each names its reason and hands out no partial page.
#include "RunnerSupport.h"

#include <gtest/gtest.h>

namespace Quillet {
namespace {

TEST_F(RunnerTest, PostScriptErrorsFailTheRunKeepEarlierPagesAndAreReportedShortAndReadable)
{
    // An error after two pages, two megabytes behind it (Ghostscript stops
    // reading them, and the relay's write fails once it has gone); an error
    // before the first page; megabytes of the job's own error text before an
    // error (only the end is kept, with the cause); an offending name that is
    // no UTF-8, or that would drive a terminal; a job that prints what looks
    // like Ghostscript's report (and shows one more on its operand stack)
    // before its real error; a file the job may not read.
    const std::string chatter =
        "/e (%stderr) (w) file def 1 1 40000 { pop e (" + std::string(60, 'x') + "\\n) writestring } for\n";
    const std::string tail = PageOf('C') + "%" + std::string(2 << 20, 'x') + "\n";
    const struct {
        const char* name;
        std::string job;
        std::wstring reason;
        std::size_t pages;  // handed out from before the error
    } cases[] = {
        {"error.ps", JobOf("AB", "nosuchop\n") + tail, L"PostScript error /undefined in nosuchop after 2 pages", 2},
        {"first.ps", "nosuchop\n" + JobOf("A"), L"PostScript error /undefined in nosuchop after 0 pages", 0},
        {"chatty.ps", JobOf("A", chatter + "nosuchop\n"), L"PostScript error /undefined in nosuchop after 1 page", 1},
        {"bytes.ps", "(\\377\\376) cvn cvx exec\n", L"PostScript error /undefined in \uFFFD\uFFFD after 0 pages", 0},
        {"title.ps", "(\\033]0;T\\007) cvn cvx exec\n", L"PostScript error /undefined in \uFFFD]0;T\uFFFD after 0", 0},
        {"forged.ps",
         "(Error: /ioerror in --showpage--\\nLast OS error: No space left on device\\n) print (Error: /x) nosuchop\n",
         L"PostScript error /undefined in nosuchop after 0 pages", 0},
        {"shadow.ps", "(/etc/shadow) (r) file\n", L"the job may not read /etc/shadow", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RIPEngine* engine = Engine(WriteJob(c.name, c.job), dir / (std::string(c.name) + "-pages"));
        ASSERT_TRUE(engine->StartRIP());
        WaitForEnd(engine);
        EXPECT_EQ(engine->GetPageCount(), -1);
        EXPECT_EQ(engine->GetNumCopies(), -1);
        const RIPFailure failure = ExpectFailure(engine, RIP_STAGE_RENDER, c.reason, L" (Ghostscript exit code 1)");
        EXPECT_NE(failure.report.find(L"Unrecoverable error, exit code 1"), std::wstring::npos);
        EXPECT_EQ(failure.report.rfind(L"Error: /", 0), 0u) << ToUtf8(failure.report);
        EXPECT_EQ(failure.report.find(L'\x1b'), std::wstring::npos);
        const std::vector<std::wstring> pages = Pages(engine);
        EXPECT_EQ(pages.size(), c.pages);
        for (const std::wstring& page : pages)
            EXPECT_TRUE(Exists(page));
        Recorder recorder;
        EXPECT_FALSE(engine->GetPages(&recorder, false));
    }

    // Ghostscript refuses a resolution that a small page still allows before
    // any job: exit code 255 is an exit code, and its report names the cause.
    RIPEngine* engine = Engine(WriteJob("any.ps", JobOf("A")));
    engine->SetPageSize(100, 100);
    engine->SetResolution(5000000);
    ASSERT_TRUE(engine->StartRIP());
    WaitForEnd(engine);
    const RIPFailure failure =
        ExpectFailure(engine, RIP_STAGE_RENDER, L"Ghostscript error: ", L" after 0 pages (Ghostscript exit code 255)");
    EXPECT_EQ(failure.report.rfind(L"Unrecoverable error: ", 0), 0u) << ToUtf8(failure.report);

    // A new start forgets the failure; a good run has none.
    engine->SetResolution(36);
    ASSERT_TRUE(engine->StartRIP());
    WaitForEnd(engine);
    ExpectFailure(engine, RIP_STAGE_NONE, L"");
}

TEST_F(RunnerTest, FullOrReadOnlyOutputDiskIsNamed)
{
    // A small file system of our own under the build tree: read-only first,
    // then writable but full.
    const fs::path disk = fs::path(QUILLET_BINARY_DIR) / ("small-disk-" + std::to_string(::getpid()));
    fs::create_directories(disk);
    if (std::system(("mount -t tmpfs -o size=256k tmpfs " + disk.string() + " 2>/dev/null").c_str()) != 0) {
        fs::remove(disk);
        GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
    }
    fs::create_directories(disk / "pages");
    std::system(("mount -o remount,ro " + disk.string()).c_str());
    // Every kind of document is told so before any child starts.
    const fs::path documents[] = {
        WriteJob("big.ps", JobOf("AAA")),
        fs::path(QUILLET_SOURCE_DIR) / "data" / "sample.pdf",
        WriteJob("box.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 100 50\n0 0 100 50 rectfill\n"),
        fs::path(QUILLET_SOURCE_DIR) / "data" / "sample.fodt",
    };
    for (const fs::path& document : documents) {
        RIPEngine* readOnly = Engine(document, disk / "pages");
        ASSERT_TRUE(readOnly->StartRIP());
        WaitForEnd(readOnly);
        ExpectFailure(readOnly, RIP_STAGE_START, L"the output folder " + FromUtf8((disk / "pages").u8string()),
                      L" cannot be used: it cannot be written (Read-only file system)");
        EXPECT_TRUE(ChildrenOfThisProcess().empty()) << document;
    }

    // Full after a few pages: the page cut short is never handed out.
    std::system(("mount -o remount,rw " + disk.string()).c_str());
    RIPEngine* full = Engine(WriteJob("distinct.ps", DistinctPages(100)), disk / "pages");
    full->SetResolution(150);
    full->SetOutputFormat(RIP_BMPGRAY);  // about 30 KB a page
    ASSERT_TRUE(full->StartRIP());
    WaitForEnd(full);
    ExpectFailure(full, RIP_STAGE_RENDER, L"the output disk is full: /ioerror");
    int pages = 0;
    EXPECT_TRUE(AllPagesWhole(full, pages));
    EXPECT_LT(pages, 10);
    full->Stop();
    EXPECT_EQ(std::system(("umount " + disk.string()).c_str()), 0);
    fs::remove_all(disk);
}

TEST_F(RunnerTest, EmptyGarbageChattyAndSingleFileJobsEnd)
{
    // An empty job has no page, garbage fails; Ghostscript writes half a
    // megabyte to its standard output while a megabyte of job data still
    // waits behind it: both must keep flowing. A single-file format delivers
    // its one file at the end.
    std::string garbage;
    for (int i = 0; i < 5000; ++i)
        garbage += static_cast<char>((i * 7919 + 13) % 256);
    const struct {
        const char* name;
        std::string job;
        std::int32_t pages;
        RIPFormat format;
    } cases[] = {
        {"empty.ps", "", 0, RIP_PNG16M},
        {"garbage.PS", garbage, -1, RIP_PNG16M},
        {"chatty.ps", "%!PS\n0 1 60000 { = } for\n\n" + std::string(1 << 20, '%') + "\n" + PageOf('A'), 1,
         RIP_PNG16M},
        {"single.ps", JobOf("ABC"), 1, RIP_PSWRITE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RIPEngine* engine = Engine(WriteJob(c.name, c.job), dir / (std::string(c.name) + "-pages"));
        engine->SetOutputFormat(c.format);
        ASSERT_TRUE(engine->StartRIP());
        WaitForEnd(engine);
        EXPECT_EQ(engine->GetImpl().IsFailed(), c.pages < 0);
        EXPECT_EQ(engine->GetPageCount(), c.pages);
        EXPECT_EQ(engine->GetNumCopies(), c.pages > 0 ? 1 : -1);
        std::wstring file;
        EXPECT_EQ(engine->GetOutputFile(file), c.pages > 0);
        EXPECT_EQ(file.substr(file.rfind(L'_')), std::wstring(L"_001.") + FormatOf(c.format).extension);
        if (c.format == RIP_PSWRITE) {
            EXPECT_EQ(QuilletTest::ReadWholeFile(ToUtf8(file)).rfind("%!PS", 0), 0u);
        }
    }
}

TEST_F(RunnerTest, FolderThatCannotBeWatchedFailsTheStartWithoutAChild)
{
    // A folder below a regular file can be neither created nor watched.
    const fs::path job = WriteJob("one.ps", JobOf("A"));
    RIPEngine* engine = Engine(job, job / "pages");
    EXPECT_TRUE(engine->StartRIP());
    EXPECT_TRUE(engine->GetImpl().IsIdle());
    EXPECT_EQ(engine->GetPageCount(), -1);
    ExpectFailure(engine, RIP_STAGE_START, L"the output folder " + FromUtf8((job / "pages").u8string()),
                  L" cannot be used: it cannot be created (Not a directory)");
    EXPECT_EQ(CountWatches(), 0u);
    BitmapFile page;
    EXPECT_FALSE(engine->GetPage(1, page));
    EXPECT_TRUE(ChildrenOfThisProcess().empty());
}

TEST_F(RunnerTest, GhostscriptKilledFromOutsideFailsTheRunAndHandsOutNoPartialPage)
{
    // Killed while it writes pages one after the other, alone or beside
    // another process: whatever file it leaves open is never handed out, the
    // pages before it still come in order, the other process goes too, and
    // no file that was not handed out stays.
    for (const char* processes : {"1", "2"}) {
        SCOPED_TRACE(processes);
        QuilletTest::ScopedEnv count("NUMBER_OF_PROCESSORS", processes);
        const fs::path folder = dir / (std::string("killed") + processes);
        RIPEngine* engine = Engine(WriteJob("many.ps", DistinctPages(300)), folder);
        engine->SetResolution(150);
        ASSERT_TRUE(engine->StartRIP());
        std::vector<int> children = ChildrenOfThisProcess();
        ASSERT_EQ(children.size(), static_cast<std::size_t>(std::atoi(processes)));
        BitmapFile first;
        ASSERT_TRUE(engine->GetPage(1, first));
        ::kill(children.back(), SIGKILL);
        WaitForEnd(engine);
        EXPECT_EQ(engine->GetPageCount(), -1);
        ExpectFailure(engine, RIP_STAGE_RENDER, L"Ghostscript was killed after ", L" (Ghostscript signal 9)");
        EXPECT_TRUE(ChildrenOfThisProcess().empty());
        int pages = 0;
        EXPECT_TRUE(AllPagesWhole(engine, pages));
        EXPECT_GE(pages, 1);
        EXPECT_LT(pages, 300);
        EXPECT_EQ(CountEntries(folder.c_str()), static_cast<std::size_t>(pages));
    }
}

TEST_F(RunnerTest, MissingGhostscriptFailsTheRun)
{
    // A store whose installation has no Ghostscript tree: the child cannot be
    // started, the run ends at once as a failure. The tests run one at a
    // time, so the process's store can be swapped for this test.
    const std::string storePath = (dir / "preferences.conf").string();
    QuilletTest::WriteStoreWith(storePath, "QuilletInstallDir", (dir / "empty install").string());
    RIPEngine* engine = Engine(WriteJob("one.ps", JobOf("A")));
    {
        QuilletTest::ScopedEnv store("QUILLET_PREFERENCES", storePath.c_str());
        EXPECT_TRUE(engine->StartRIP());
        WaitForEnd(engine);
    }
    EXPECT_EQ(engine->GetPageCount(), -1);
    ExpectFailure(engine, RIP_STAGE_START, L"Ghostscript cannot be started: " + FromUtf8(dir.u8string()));

    // Parameters longer than the system lets a command line be.
    RIPEngine* overlong = Engine(WriteJob("one.ps", JobOf("A")));
    overlong->SetOutputFormat(RIP_IJS);
    overlong->SetIJSParams(std::wstring(1 << 20, L'x'));
    EXPECT_TRUE(overlong->StartRIP());
    WaitForEnd(overlong);
    ExpectFailure(overlong, RIP_STAGE_START, L"Ghostscript cannot be started: its command line of ",
                  L" bytes is longer than the system allows (Argument list too long)");
}

}  // namespace
}  // namespace Quillet
