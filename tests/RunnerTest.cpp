// The engine with the real Ghostscript: jobs the tests write, run end to end
// through StartRIP, with the failure cases a host meets (PostScript errors,
// garbage, unusable folders, a killed or hanging child, stops, restarts) and
// descriptor and thread counts across many jobs.
#include "DocumentSupport.h"
#include "support/Files.h"
#include "support/ScopedEnv.h"

#include "engine/GhostscriptArgs.h"
#include "engine/OutputFormats.h"
#include "engine/PageCheck.h"
#include "engine/RIPEngine.h"
#include "engine/RIPEngineImpl.h"
#include "platform/TextConversion.h"
#include "support/HelperProcess.h"
#include "support/PrivateCups.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace Quillet {
namespace {

// The page kinds of the test jobs. Capitals: one page size each, so that page
// files of one kind are equal and files of different kinds differ in size.
// Small letters: all of one size; 'a' is blank, the others draw a line that
// ends at a height of their own, so uncompressed pages differ only in content.
std::string PageOf(char kind)
{
    const bool sized = kind >= 'A' && kind <= 'Z';
    const int width = sized ? 100 + 60 * (kind - 'A') : 100;
    std::ostringstream page;
    page << "<< /PageSize [" << width << " 100] >> setpagedevice\n";
    if (sized || kind != 'a')
        page << "newpath 10 10 moveto " << width - 10 << " " << (sized ? 90 : 20 + 6 * (kind - 'a'))
             << " lineto 4 setlinewidth stroke\n";
    return page.str() + "showpage\n";
}

/// A job of count pages that all differ, each written out in full (so that
/// the job is long, not a loop Ghostscript reads at once).
std::string DistinctPages(int count)
{
    std::ostringstream job;
    job << "%!PS\n<< /PageSize [100 100] >> setpagedevice\n";
    for (int n = 0; n < count; ++n)
        job << "newpath " << n % 90 + 5 << " 5 moveto " << n / 90 * 20 + 5 << " 95 lineto stroke showpage\n";
    return job.str();
}

/// A job with one page per letter of kinds ("ABAB": two copies of two pages).
std::string JobOf(const std::string& kinds, const std::string& tail = std::string())
{
    std::string job = "%!PS\n";
    for (char kind : kinds)
        job += PageOf(kind);
    return job + tail;
}

using QuilletTest::ChildrenOfThisProcess;

std::size_t CountEntries(const char* folder)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

/// This process's folder watches.
std::size_t CountWatches()
{
    return QuilletTest::OpenDescriptorCount("anon_inode:inotify");
}

/// True when every page the engine hands out is a whole file; the count in pages.
bool AllPagesWhole(RIPEngine* engine, int& pages)
{
    pages = 0;
    for (BitmapFile page; engine->GetPage(pages + 1, page); ++pages) {
        if (CheckPageFile(page.GetFilePath(), engine->GetOutputFormat()) != PageFileState::Whole)
            return false;
    }
    return true;
}

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

/// Collects OnPageReady calls.
class Recorder : public IPageNotify {
public:
    void OnPageReady(std::int32_t pageNumber, BitmapFile& page) override
    {
        std::lock_guard<std::mutex> guard(mutex);
        numbers.push_back(pageNumber);
        orientations.push_back(page.Orientation());
        paths.push_back(page.GetFilePath());
        threads.push_back(std::this_thread::get_id());
    }
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::vector<std::int32_t> numbers;
    std::vector<std::int32_t> orientations;
    std::vector<std::wstring> paths;
};

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string program = ToUtf8(GetGhostscriptProgram(GetGhostscriptRoot()));
        if (::access(program.c_str(), X_OK) != 0)
            GTEST_SKIP() << "no Ghostscript at " << program;
    }

    // Runs use two processes whatever the machine has, unless a test says
    // otherwise.
    QuilletTest::ScopedEnv processors{"NUMBER_OF_PROCESSORS", "2"};
    // The test jobs' small pages would not pay for a second process.
    QuilletTest::ScopedEnv sharing{"QUILLET_SHARING", "always"};

    void TearDown() override
    {
        for (RIPEngine* engine : engines)
            engine->Release();
    }

    fs::path WriteJob(const std::string& name, const std::string& text) { return scratch.Write(name, text); }

    /// A service for the job params (a job file's path), writing small pages
    /// into folder.
    RIPEngine* Engine(const std::wstring& params, const fs::path& folder)
    {
        auto* engine = static_cast<RIPEngine*>(CreateRIPService(params));
        engines.push_back(engine);
        engine->SetOutputFolder(FromUtf8(folder.u8string()));
        engine->SetResolution(36);
        engine->SetOutputFormat(RIP_PNG16M);
        return engine;
    }
    RIPEngine* Engine(const fs::path& job, const fs::path& folder) { return Engine(FromUtf8(job.u8string()), folder); }
    RIPEngine* Engine(const fs::path& path) { return Engine(path, output); }

    /// A service whose job arrives through a new FIFO at fifo, so that a test
    /// can act while the run is certainly in progress; null if the FIFO
    /// cannot be made.
    RIPEngine* FifoEngine(const fs::path& fifo)
    {
        return ::mkfifo(fifo.c_str(), 0600) == 0 ? Engine(L"printjobfile=" + FromUtf8(fifo.u8string()), output)
                                                 : nullptr;
    }

    /// Blocks until the engine's run has ended.
    static void WaitForEnd(RIPEngine* engine)
    {
        for (std::int32_t n = 1; engine->GetImpl().WaitForPage(n); ++n) {
        }
    }

    /// Checks the failure the service reports, through the public accessor:
    /// its stage, and a reason that begins with start and ends with end; the
    /// failure, for a closer look.
    static RIPFailure ExpectFailure(IRIPBase* engine, RIPStage stage, const std::wstring& start,
                                    const std::wstring& end = std::wstring())
    {
        RIPFailure failure;
        EXPECT_EQ(GetRIPStatus(engine)->GetLastFailure(failure), stage != RIP_STAGE_NONE);
        EXPECT_EQ(failure.stage, stage) << ToUtf8(failure.reason);
        EXPECT_EQ(failure.reason.rfind(start, 0), 0u) << ToUtf8(failure.reason);
        EXPECT_TRUE(failure.reason.size() >= end.size() &&
                    failure.reason.compare(failure.reason.size() - end.size(), end.size(), end) == 0)
            << ToUtf8(failure.reason);
        EXPECT_LE(ToUtf8(failure.report).size(), 4096u);
        return failure;
    }

    /// The paths of the pages GetPage gives from page first on, and their
    /// numbers.
    static std::vector<std::wstring> Pages(IRIPBase* engine, std::int32_t first = 1,
                                           std::vector<std::int32_t>* numbers = nullptr)
    {
        std::vector<std::wstring> paths;
        BitmapFile page;
        for (std::int32_t n = first; engine->GetPage(n, page); ++n) {
            paths.push_back(page.GetFilePath());
            if (numbers != nullptr)
                numbers->push_back(n);
        }
        return paths;
    }

    /// The contents of those pages.
    static std::vector<std::string> Contents(IRIPBase* engine, std::int32_t first = 1,
                                             std::vector<std::int32_t>* numbers = nullptr)
    {
        std::vector<std::string> contents;
        for (const std::wstring& path : Pages(engine, first, numbers))
            contents.push_back(QuilletTest::ReadWholeFile(ToUtf8(path)));
        return contents;
    }

    const QuilletTest::ScratchFolder scratch{"quillet-runner"};
    const fs::path dir = scratch.path;
    const fs::path output = dir / "pages";
    std::vector<RIPEngine*> engines;
};

bool Exists(const std::wstring& path) { return ::access(ToUtf8(path).c_str(), F_OK) == 0; }

TEST_F(RunnerTest, ThreePagesArriveInOrderAndStayOnDiskUntilDeleted)
{
    const fs::path job = WriteJob("three.ps", JobOf("ABC"));
    RIPEngine* engine = Engine(job);
    ASSERT_TRUE(engine->StartRIP());
    fs::remove(job);  // the run reads the file it opened

    // Page by page, while the run may still go on.
    std::vector<std::wstring> paths;
    for (int n = 1; n <= 3; ++n) {
        BitmapFile page;
        ASSERT_TRUE(engine->GetPage(n, page)) << n;
        EXPECT_TRUE(Exists(page.GetFilePath()));
        EXPECT_EQ(page.Orientation(), 1);
        paths.push_back(page.GetFilePath());
    }
    BitmapFile missing;
    EXPECT_FALSE(engine->GetPage(4, missing));
    EXPECT_EQ(engine->GetPageCount(), 3);
    // The output file is page 1.
    std::wstring file;
    EXPECT_TRUE(engine->GetOutputFile(file));
    EXPECT_EQ(file, paths[0]);

    // A stop after the run: no pages any more, but the files stay until
    // DeletePages removes them.
    engine->Stop();
    EXPECT_EQ(engine->GetPageCount(), 0);
    EXPECT_FALSE(engine->GetPage(1, missing));
    EXPECT_TRUE(Exists(paths[2]));
    EXPECT_TRUE(engine->DeletePages());
    for (const std::wstring& path : paths)
        EXPECT_FALSE(Exists(path));
    EXPECT_EQ(engine->GetOrientation(), 1);  // the job's, still
}

TEST_F(RunnerTest, PagesAreTheSameWithOneOrMoreProcesses)
{
    // Each job rendered by one, two and three processes: the same pages,
    // byte for byte and in order, as many as one plain Ghostscript process
    // renders, and the copies of a printed job found over the pages of all
    // processes. Taken through GetPage or through the callback, in turns that
    // meet each number of processes and each source. A file that declares
    // its pages, a printed job with two copies, a PDF read from its file, and
    // PostScript as other programs write it: from a PDF of pages of different
    // sizes, from a PDF the system ships and from text. Several of them set
    // the page device on every page, which restarts Ghostscript's own page
    // count. Each job but the copies also arrives on a FIFO (its length
    // unknown; a PDF on it is read by the PDF interpreter, page lists and all).
    const std::string job = "%!PS-Adobe-3.0\n%%Pages: 7\n" + DistinctPages(7).substr(5);
    const fs::path pdf = dir / "seven.pdf";
    const fs::path sized = dir / "sized.pdf";
    ASSERT_TRUE(QuilletTest::MakePdf(WriteJob("seven.ps", job).string(), pdf.string()));
    ASSERT_TRUE(QuilletTest::MakePdf(WriteJob("sized.ps", JobOf("ABCDEF")).string(), sized.string()));
    std::string text;
    for (int n = 1; n <= 300; ++n)
        text += "Line " + std::to_string(n) + " of a text of several pages\n";
    const std::string textFile = WriteJob("text.txt", text).string();
    const std::string roffFile = WriteJob("text.tr", ".nf\n" + text).string();
    const std::string shipped = "/usr/share/doc/libtasn1-doc/libtasn1.pdf";
    const std::string toPs = "gs -q -dBATCH -dNOPAUSE -dSAFER -o - -sDEVICE=";
    const std::string texttops = "/usr/lib/cups/filter/texttops";
    const struct {
        const char* file;
        std::string needs;    // a program or file the producer needs
        std::string command;  // writes the job on its standard output
    } producers[] = {
        {"ps2write.ps", "gs", toPs + "ps2write " + sized.string()},
        {"eps2write.eps", "gs", toPs + "eps2write -dFirstPage=2 -dLastPage=2 " + sized.string()},
        {"pdftops.ps", "pdftops", "pdftops " + sized.string() + " -"},
        {"pdftocairo.ps", "pdftocairo", "pdftocairo -ps " + sized.string() + " -"},
        {"shipped-ps2write.ps", shipped, toPs + "ps2write -dFirstPage=1 -dLastPage=6 " + shipped},
        {"enscript.ps", "enscript", "enscript -q -p - " + textFile},
        {"groff.ps", "groff", "groff -Tps " + roffFile},
        {"texttops.ps", texttops, "CUPS_SERVERBIN=/usr/lib/cups " + texttops + " 1 user title 1 '' " + textFile},
    };
    struct Row {
        std::string name;
        fs::path file;
        int copies;
        bool stream;              // also on a FIFO
        bool misleading = false;  // shared, it ends with one process rendering it again
    };
    // Jobs that mislead the processes' word on their pages: a page procedure
    // called by the job itself, and page procedures of its own that say nothing.
    const std::string selfCalled = JobOf("AB", "0 0 currentpagedevice /EndPage get exec pop\n" + PageOf('C'));
    const std::string silent =
        JobOf("A", "<< /EndPage { exch pop 2 ne } >> systemdict /setpagedevice get exec\n" + JobOf("BCD").substr(5));
    std::vector<Row> rows = {{"declared", dir / "seven.ps", 1, true},
                             {"copies", WriteJob("copies.ps", JobOf("ABCABC")), 2, false},
                             {"pdf", pdf, 1, true},
                             {"endpage", WriteJob("endpage.ps", selfCalled), 1, true, true},
                             {"silent", WriteJob("silent.ps", silent), 1, true, true}};
    auto shell = [](const std::string& line) {
        return QuilletTest::PrivateCups::Run({L"sh", L"-c", FromUtf8(line)}) == 0;
    };
    for (const auto& producer : producers) {
        if (!shell("command -v '" + producer.needs + "' >/dev/null || test -e '" + producer.needs + "'")) {
            std::cout << "[ SKIPPED  ] " << producer.file << ": " << producer.needs
                      << " is not on this machine (scripts/setup.sh installs it)" << std::endl;
            continue;
        }
        if (shell(producer.command + " > '" + (dir / producer.file).string() + "'"))
            rows.push_back({producer.file, dir / producer.file, 1, true});
        else
            ADD_FAILURE() << "cannot write " << producer.file << ": " << producer.command;
    }
    for (const auto& row : rows) {
        const fs::path plain = dir / (row.name + "-plain");
        fs::create_directories(plain);
        QuilletTest::RunGhostscript("png16m", row.file.string(), (plain / "p%03d.png").string(), {"-r10"});
        const int count = static_cast<int>(CountEntries(plain.c_str())) / row.copies;
        ASSERT_GT(count, 0) << row.name;
        for (const bool fifo : {false, true}) {
            if (fifo && !row.stream)
                continue;
            std::vector<std::string> reference;
            for (const int processes : {1, 2, 3}) {
                const bool callback = fifo != (processes == 2);
                const std::string run = row.name + (fifo ? "-fifo-" : "-") + std::to_string(processes);
                SCOPED_TRACE(run + (callback ? ", callback" : ""));
                QuilletTest::ScopedEnv number("NUMBER_OF_PROCESSORS", std::to_string(processes).c_str());
                const fs::path folder = dir / run;
                const fs::path fifoPath = folder.string() + ".fifo";
                RIPEngine* engine = fifo ? FifoEngine(fifoPath) : Engine(row.file, folder);
                ASSERT_NE(engine, nullptr);
                engine->SetOutputFolder(FromUtf8(folder.u8string()));
                engine->SetOutputFormat(RIP_PNG16M);
                ASSERT_TRUE(engine->StartRIP());
                Recorder recorder;
                if (callback) {
                    EXPECT_TRUE(engine->GetPages(&recorder, true));
                }
                if (fifo)
                    QuilletTest::WriteWholeFile(fifoPath, QuilletTest::ReadWholeFile(row.file.string()));
                WaitForEnd(engine);
                std::vector<std::string> pages = Contents(engine);
                if (callback) {
                    std::lock_guard<std::mutex> guard(recorder.mutex);
                    EXPECT_EQ(recorder.numbers.size(), static_cast<std::size_t>(count));
                    pages.clear();
                    for (std::size_t n = 0; n < recorder.paths.size(); ++n) {
                        EXPECT_EQ(recorder.numbers[n], static_cast<std::int32_t>(n + 1));
                        pages.push_back(QuilletTest::ReadWholeFile(ToUtf8(recorder.paths[n])));
                    }
                }
                EXPECT_EQ(engine->GetPageCount(), count);
                EXPECT_EQ(engine->GetNumCopies(), row.copies);
                // A stream's page count is unknown: each of its processes starts.
                EXPECT_EQ(engine->GetImpl().GetProcessesStarted(), (fifo ? processes : std::min(processes, count)) +
                                                                       (row.misleading && processes > 1 ? 1 : 0));
                EXPECT_EQ(pages.size(), static_cast<std::size_t>(count));
                if (reference.empty())
                    reference = pages;
                EXPECT_TRUE(pages == reference);
                // Only the pages handed out stay, under the run's names.
                EXPECT_EQ(CountEntries(folder.c_str()), static_cast<std::size_t>(count * row.copies));
            }
        }
    }
}

TEST_F(RunnerTest, PageRangesRenderOnlyThosePagesUnderTheirOwnNumbers)
{
    // Seven distinct pages as a PostScript job, as a PDF and as that PDF
    // written back as PostScript (a job that sets the page device on every
    // page, which restarts Ghostscript's own page count), then a job that
    // never ends after its fourth page: its range ends the run.
    const std::string job = DistinctPages(7);
    const fs::path ps = WriteJob("seven.ps", job);
    const fs::path pdf = dir / "seven.pdf";
    const fs::path rewritten = dir / "rewritten.ps";
    ASSERT_TRUE(QuilletTest::MakePdf(ps.string(), pdf.string()));
    ASSERT_TRUE(QuilletTest::RunGhostscript("ps2write", pdf.string(), rewritten.string()));
    RIPEngine* whole = Engine(ps, dir / "whole");
    ASSERT_TRUE(whole->StartRIP());
    const std::vector<std::string> reference = Contents(whole);
    ASSERT_EQ(reference.size(), 7u);
    const fs::path endless = WriteJob("endless.ps", DistinctPages(4) + "{ } loop\n");

    const struct {
        std::int32_t first, last;
        std::vector<std::int32_t> pages;
        std::wstring reason;  // for the PostScript job; the PDF's says its page count
    } rows[] = {
        {2, 3, {2, 3}, L""},
        {5, 0, {5, 6, 7}, L""},
        {6, 20, {6, 7}, L""},
        {1, 1, {1}, L""},
        {7, 7, {7}, L""},
        {9, 10, {}, L"the document has no page 9: it ends before it"},
        {3, 2, {}, L"the page range 3 to 2 holds no page"},
        {0, 4, {}, L"the page range 0 to 4 holds no page"},
    };
    for (const fs::path& document : {ps, pdf, rewritten, endless}) {
        for (const auto& row : rows) {
            if (document == endless && (row.last == 0 || row.last > 4))
                continue;
            SCOPED_TRACE(document.filename().string() + " " + std::to_string(row.first) + "-" +
                         std::to_string(row.last));
            RIPEngine* engine = Engine(document, dir / ("range" + std::to_string(engines.size())));
            engine->SetPageRange(row.first, row.last);
            ASSERT_TRUE(engine->StartRIP());
            std::vector<std::int32_t> numbers;
            const std::vector<std::string> pages = Contents(engine, row.first, &numbers);
            EXPECT_EQ(numbers, row.pages);
            EXPECT_TRUE(Contents(engine, row.first - 1).empty());
            for (std::size_t n = 0; n < pages.size() && n < row.pages.size(); ++n)
                EXPECT_TRUE(pages[n] == reference[static_cast<std::size_t>(row.pages[n] - 1)]) << row.pages[n];
            Recorder recorder;
            EXPECT_EQ(engine->GetPages(&recorder, false), row.reason.empty());
            EXPECT_EQ(recorder.numbers, row.pages);
            EXPECT_EQ(engine->GetPageCount(), row.reason.empty() ? static_cast<std::int32_t>(row.pages.size()) : -1);
            const std::wstring reason = document == pdf && row.first == 9 ? L"the document has no page 9: it has 7 pages"
                                                                           : row.reason;
            ExpectFailure(engine, reason.empty() ? RIP_STAGE_NONE
                                  : row.first > row.last && row.last != 0 ? RIP_STAGE_START
                                  : row.first == 0                        ? RIP_STAGE_START
                                                                          : RIP_STAGE_RENDER,
                          reason);
            EXPECT_TRUE(ChildrenOfThisProcess().empty());
        }
    }
}

TEST_F(RunnerTest, RepeatedCopiesAreRecognisedBySizeAndContent)
{
    // Rendered copies of a printed job (the page table's own cases are in its
    // suite), and copies the job only asks for: one copy rendered, the header
    // says how many.
    struct Case {
        std::string job;
        int pagesPerCopy;
        int copies;
        bool collated;
        RIPFormat format;
    };
    const Case cases[] = {
        {JobOf("ABCABC"), 3, 2, true, RIP_PNG16M},
        {JobOf("AAA"), 1, 3, false, RIP_PNG16M},
        {JobOf("aba"), 3, 1, false, RIP_PNG16M},  // a last copy that is not whole is no copy
        // Uncompressed pages of one size: only the content tells them apart.
        {JobOf("abcde"), 5, 1, false, RIP_BMP32B},
        {JobOf("abcab"), 5, 1, false, RIP_BMPGRAY},
        {JobOf("abcde"), 5, 1, false, RIP_TIFF32NC},
        {JobOf("abab"), 2, 2, true, RIP_BMP32B},
        {"%!PS\n<< /NumCopies 3 /Collate true >> setpagedevice\n" + PageOf('A') + PageOf('B'), 2, 3, true,
         RIP_PNG16M},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.job.substr(0, 60) + " " + std::to_string(c.format));
        RIPEngine* engine = Engine(WriteJob("copies" + std::to_string(engines.size()) + ".ps", c.job));
        engine->SetOutputFormat(c.format);
        ASSERT_TRUE(engine->StartRIP());
        WaitForEnd(engine);
        EXPECT_EQ(engine->GetPageCount(), c.pagesPerCopy);
        EXPECT_EQ(engine->GetNumCopies(), c.copies);
        EXPECT_EQ(engine->GetIsCollated(), c.collated);
        EXPECT_EQ(Pages(engine).size(), static_cast<std::size_t>(c.pagesPerCopy));
        // Synchronous delivery: one copy.
        Recorder recorder;
        EXPECT_TRUE(engine->GetPages(&recorder, false));
        EXPECT_EQ(recorder.numbers.size(), static_cast<std::size_t>(c.pagesPerCopy));
    }
}

TEST_F(RunnerTest, AsynchronousDeliveryAnnouncesOneCopyOnTheMonitorThread)
{
    // Two copies of two landscape pages: one copy is announced, as
    // GetPageCount and GetPage give it, each page stamped with the job's
    // orientation. Text the job prints itself is no header.
    const std::string job = "%!PS\n(Orientation=Portrait; Copies=5;\\n) print flush\n" + JobOf("BCBC").substr(5);
    // The job waits for its input to end before its first page: the
    // callback is registered while the run is certainly in progress.
    const fs::path fifo = dir / "job.fifo";
    RIPEngine* engine = FifoEngine(fifo);
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(engine->StartRIP());
    ASSERT_FALSE(engine->GetImpl().IsIdle());
    Recorder recorder;
    EXPECT_TRUE(engine->GetPages(&recorder, true));
    QuilletTest::WriteWholeFile(fifo, job);
    WaitForEnd(engine);
    EXPECT_EQ(engine->GetPageCount(), 2);
    EXPECT_EQ(engine->GetNumCopies(), 2);
    EXPECT_EQ(engine->GetOrientation(), 2);
    std::lock_guard<std::mutex> guard(recorder.mutex);  // orders the callbacks before the look
    EXPECT_EQ(recorder.numbers, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(recorder.orientations, (std::vector<std::int32_t>{2, 2}));
    for (std::thread::id thread : recorder.threads)
        EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(RunnerTest, PageCallbackMayWaitForAHostThreadThatCallsTheEngine)
{
    // A host that hands the callback to another of its threads and waits for
    // it (a user interface thread): that thread's calls must answer while the
    // callback waits, on either delivery. The 5 s are a bound on a deadlock,
    // which would use them up, not a measure of speed.
    struct Waiter : Recorder {
        IRIPBase* engine = nullptr;
        bool answered = true;  // by every page's other thread
        std::vector<std::thread> hosts;  // joined after the run: a deadlocked one would hang the callback
        void OnPageReady(std::int32_t pageNumber, BitmapFile& page) override
        {
            Recorder::OnPageReady(pageNumber, page);
            struct Done {
                std::mutex mutex;
                std::condition_variable condition;
                bool done = false;
            };
            auto done = std::make_shared<Done>();
            std::thread host([done, target = engine] {
                BitmapFile first;
                target->GetPageCount();
                target->GetIsCollated();
                target->GetNumCopies();
                const bool got = target->GetPage(1, first);
                std::lock_guard<std::mutex> guard(done->mutex);
                done->done = got;
                done->condition.notify_all();
            });
            std::unique_lock<std::mutex> guard(done->mutex);
            const bool inTime = done->condition.wait_for(guard, std::chrono::seconds(5), [&] { return done->done; });
            guard.unlock();
            std::lock_guard<std::mutex> record(mutex);
            answered = answered && inTime;
            hosts.push_back(std::move(host));
        }
    };
    for (const bool asynchronous : {true, false}) {
        SCOPED_TRACE(asynchronous);
        const fs::path fifo = dir / (asynchronous ? "async.fifo" : "sync.fifo");
        RIPEngine* engine = FifoEngine(fifo);
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(engine->StartRIP());
        Waiter waiter;
        waiter.engine = engine;
        std::thread writer([&] { QuilletTest::WriteWholeFile(fifo, JobOf("ABC")); });
        EXPECT_TRUE(engine->GetPages(&waiter, asynchronous));
        writer.join();
        WaitForEnd(engine);
        EXPECT_EQ(engine->GetPageCount(), 3);
        std::lock_guard<std::mutex> guard(waiter.mutex);
        for (std::thread& host : waiter.hosts)
            host.join();
        EXPECT_EQ(waiter.numbers, (std::vector<std::int32_t>{1, 2, 3}));
        EXPECT_TRUE(waiter.answered);
    }
}

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
    const fs::path job = WriteJob("big.ps", JobOf("AAA"));
    std::system(("mount -o remount,ro " + disk.string()).c_str());
    RIPEngine* readOnly = Engine(job, disk / "pages");
    ASSERT_TRUE(readOnly->StartRIP());
    WaitForEnd(readOnly);
    ExpectFailure(readOnly, RIP_STAGE_RENDER, L"the output folder cannot be written (Read-only file system)");

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

TEST_F(RunnerTest, HangingRunRefusesAStartSleepsAndEndsOnStopOrRelease)
{
    RIPEngine* engine = Engine(WriteJob("hang.ps", JobOf("AB", "{ } loop\n")));
    // Without bounds, which are checked as time passes.
    engine->SetTimeLimit(0);
    engine->SetMaxOutputBytes(0);
    ASSERT_TRUE(engine->StartRIP());
    try {
        engine->GetImpl().StartGhostscript();
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

    // Nothing reports while Ghostscript computes silently: the monitor must
    // not wake up at all (a polling loop would wake up thousands of times
    // while the test sleeps).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::uint64_t before = engine->GetImpl().GetMonitorWakeUps();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(engine->GetImpl().GetMonitorWakeUps() - before, 3u);

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

TEST_F(RunnerTest, SecondJobOnTheSameEngineSeesOnlyItsOwnPages)
{
    const fs::path job = WriteJob("job.ps", JobOf("abcdefgh"));
    RIPEngine* engine = Engine(job);
    ASSERT_TRUE(engine->StartRIP());
    WaitForEnd(engine);
    ASSERT_EQ(engine->GetPageCount(), 8);
    const std::vector<std::wstring> first = Pages(engine);

    // The next jobs on the same engine, the first one's pages still on disk:
    // each in the folder and format set at its start (another folder, then
    // the first one again, with a new prefix), the job's file read again
    // from its start.
    QuilletTest::WriteWholeFile(job, JobOf("abc"));
    const struct {
        fs::path folder;
        RIPFormat format;
        std::size_t entries;
    } next[] = {{dir / "elsewhere", RIP_BMPGRAY, 3u}, {output, RIP_PNG16M, 11u}};
    for (const auto& run : next) {
        engine->SetOutputFolder(FromUtf8(run.folder.u8string()));
        engine->SetOutputFormat(run.format);
        ASSERT_TRUE(engine->StartRIP());
        WaitForEnd(engine);
        EXPECT_EQ(engine->GetPageCount(), 3);
        const std::vector<std::wstring> second = Pages(engine);
        ASSERT_EQ(second.size(), 3u);
        EXPECT_EQ(CheckPageFile(second[0], run.format), PageFileState::Whole);
        for (std::size_t n = 0; n < second.size(); ++n)
            EXPECT_NE(second[n], first[n]);
        EXPECT_EQ(CountEntries(run.folder.c_str()), run.entries);
    }
}

TEST_F(RunnerTest, PageFilesAreCheckedForFormatSizeAndWholeness)
{
    // A real page of every image format, then the same bytes cut short, with
    // a byte more, and asked for at another size.
    const fs::path job = WriteJob("one.ps", JobOf("A"));
    for (RIPFormat format : {RIP_BMP32B, RIP_BMPGRAY, RIP_PNG256, RIP_PNGALPHA, RIP_PNGGRAY, RIP_JPEG,
                             RIP_JPEGGRAY, RIP_TIFF32NC, RIP_TIFFG32D, RIP_PNG16M}) {
        SCOPED_TRACE(format);
        RIPEngine* engine = Engine(job, dir / ("format" + std::to_string(format)));
        engine->SetOutputFormat(format);
        engine->SetPageSize(50, 40);
        ASSERT_TRUE(engine->StartRIP());
        const std::vector<std::wstring> pages = Pages(engine);
        ASSERT_EQ(pages.size(), 1u);
        const std::wstring& page = pages[0];
        EXPECT_EQ(CheckPageFile(page, format, 50, 40), PageFileState::Whole);
        std::string why;
        EXPECT_EQ(CheckPageFile(page, format, 40, 50, &why), PageFileState::Broken);
        EXPECT_EQ(why, "it is 50x40 pixels, not 40x50");
        // Another format's page of the same size is no page of this one.
        EXPECT_EQ(CheckPageFile(page, format == RIP_PNG16M ? RIP_PNGALPHA : RIP_PNG16M), PageFileState::Broken);
        const std::string bytes = QuilletTest::ReadWholeFile(ToUtf8(page));
        QuilletTest::WriteWholeFile(ToUtf8(page), bytes.substr(0, bytes.size() - 1));
        EXPECT_EQ(CheckPageFile(page, format), PageFileState::CutShort);
        QuilletTest::WriteWholeFile(ToUtf8(page), bytes + 'x');
        // A TIFF's directory and strips say nothing of what follows them.
        EXPECT_EQ(CheckPageFile(page, format),
                  FormatOf(format).container == Container::Tiff ? PageFileState::Whole : PageFileState::Broken);
    }
    // A PNG chunk with a wrong CRC; names that are no regular file.
    const std::wstring png = FromUtf8((dir / "format9").u8string()) + L"/bad.png";
    std::string bytes = QuilletTest::ReadWholeFile(ToUtf8(Pages(engines.back())[0]));
    bytes[40] = static_cast<char>(bytes[40] ^ 1);
    QuilletTest::WriteWholeFile(ToUtf8(png), bytes);
    std::string why;
    EXPECT_EQ(CheckPageFile(png, RIP_PNG16M, 0, 0, &why), PageFileState::Broken);
    EXPECT_EQ(why, "a chunk's CRC is wrong");
    fs::create_symlink(ToUtf8(Pages(engines.back())[0]), dir / "link.png");
    ASSERT_EQ(::mkfifo((dir / "fifo.png").c_str(), 0600), 0);
    for (const char* name : {"link.png", "fifo.png"})
        EXPECT_EQ(CheckPageFile(FromUtf8((dir / name).u8string()), RIP_PNG16M), PageFileState::Broken) << name;

    // A BMP page over 4 GiB (sparse): its header states the length modulo
    // 2^32; the rows tell the length.
    const std::uint64_t width = 65536, height = 16640, length = 54 + width * 4 * height;
    std::string header(54, '\0');
    const auto put = [&header](std::size_t at, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            header[at + i] = static_cast<char>(value >> (8 * i));
    };
    header[0] = 'B', header[1] = 'M';
    put(2, length & 0xFFFFFFFFU, 4), put(10, 54, 4), put(14, 40, 4), put(18, width, 4), put(22, height, 4);
    put(26, 1, 2), put(28, 32, 2);
    const fs::path big = dir / "big.bmp";
    QuilletTest::WriteWholeFile(big, header);
    fs::resize_file(big, length);
    EXPECT_EQ(CheckPageFile(FromUtf8(big.u8string()), RIP_BMP32B, 65536, 16640), PageFileState::Whole);
    fs::resize_file(big, length - 4);
    EXPECT_EQ(CheckPageFile(FromUtf8(big.u8string()), RIP_BMP32B), PageFileState::CutShort);
}

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
