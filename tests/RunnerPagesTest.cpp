// The runner's pages: order, numbering, page ranges, copies, one or more
// processes, both ways of delivery, and the checks every page file passes.
#include "RunnerSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace Quillet {
namespace {

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

TEST_F(RunnerTest, PageRangesAndListsRenderOnlyThosePagesUnderTheirOwnNumbers)
{
    // Seven distinct pages as a PostScript job, as a PDF and as that PDF
    // written back as PostScript (a job that sets the page device on every
    // page, which restarts Ghostscript's own page count), then a job that
    // never ends after its fourth page: its range ends the run. Every run is
    // shared over two processes where it has pages enough.
    const QuilletTest::ScopedEnv processors("NUMBER_OF_PROCESSORS", "2");
    const QuilletTest::ScopedEnv sharing("QUILLET_SHARING", "always");
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
        std::wstring list;    // in place of the range
    } rows[] = {
        {2, 3, {2, 3}, L"", L""},
        {5, 0, {5, 6, 7}, L"", L""},
        {6, 20, {6, 7}, L"", L""},
        {1, 1, {1}, L"", L""},
        {7, 7, {7}, L"", L""},
        {9, 10, {}, L"the document has no page 9: it ends before it", L""},
        {3, 2, {}, L"the page range 3 to 2 holds no page", L""},
        {0, 4, {}, L"the page range 0 to 4 holds no page", L""},
        {0, 0, {1, 3, 4, 5}, L"", L"5,1,3-4"},
        {0, 0, {3, 6, 7}, L"", L"6-,3"},
        {0, 0, {1, 7}, L"", L"7,20-30,1"},
        {0, 0, {1, 3}, L"", L"3,1"},
        {0, 0, {}, L"the document has no page 9: it ends before it", L"12,9"},
        {0, 0, {}, L"the page list \"0,3\" names page 0: pages count from 1", L"0,3"},
    };
    for (const fs::path& document : {ps, pdf, rewritten, endless}) {
        for (const auto& row : rows) {
            const std::int32_t lastPage = row.pages.empty() ? 0 : row.pages.back();
            if (document == endless &&
                (row.list.empty() ? row.last == 0 || row.last > 4 : lastPage == 0 || lastPage > 4))
                continue;
            SCOPED_TRACE(document.filename().string() + " " + std::to_string(row.first) + "-" +
                         std::to_string(row.last) + " " + ToUtf8(row.list));
            const fs::path folder = dir / ("range" + std::to_string(engines.size()));
            RIPEngine* engine = Engine(document, folder);
            engine->SetPageRange(row.first, row.last);
            engine->SetPageList(row.list);
            ASSERT_TRUE(engine->StartRIP());
            BitmapFile page;
            for (std::size_t n = 0; n < row.pages.size(); ++n) {
                ASSERT_TRUE(engine->GetPage(row.pages[n], page)) << row.pages[n];
                EXPECT_TRUE(QuilletTest::ReadWholeFile(ToUtf8(page.GetFilePath())) ==
                            reference[static_cast<std::size_t>(row.pages[n] - 1)]) << row.pages[n];
            }
            // A page outside the range or list is none of the run's.
            EXPECT_FALSE(engine->GetPage(row.list.empty() ? row.first - 1 : 2, page));
            Recorder recorder;
            EXPECT_EQ(engine->GetPages(&recorder, false), row.reason.empty());
            EXPECT_EQ(recorder.numbers, row.pages);
            EXPECT_EQ(engine->GetPageCount(), row.reason.empty() ? static_cast<std::int32_t>(row.pages.size()) : -1);
            if (row.pages.size() >= 4) {
                EXPECT_GE(engine->GetImpl().GetProcessesStarted(), 2);
            }
            // Nothing but the pages handed out stays in the folder.
            EXPECT_EQ(fs::exists(folder) ? CountEntries(folder.c_str()) : 0, row.pages.size());
            const bool pastEnd = row.first == 9 || row.list == L"12,9";
            const std::wstring reason =
                document == pdf && row.first == 9 ? L"the document has no page 9: it has 7 pages" : row.reason;
            ExpectFailure(engine, reason.empty() ? RIP_STAGE_NONE
                                  : pastEnd      ? RIP_STAGE_RENDER
                                                 : RIP_STAGE_START,
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
    // callback waits, on either delivery. Its queries answer on every page;
    // a stop, DeletePages or Release at page 1 ends the run, and no later
    // page is announced. The 5 s are a bound on a deadlock, which would use
    // them up, not a measure of speed.
    enum class Call { Queries, Stop, Delete, Release };
    struct Waiter : Recorder {
        RIPEngine* engine = nullptr;
        Call call = Call::Queries;
        bool answered = true;  // by every page's other thread
        std::vector<std::thread> hosts;  // joined after the run: a deadlocked one would hang the callback
        void OnPageReady(std::int32_t pageNumber, BitmapFile& page) override
        {
            RIPEngine* const target = engine;
            const Call what = call;
            Recorder::OnPageReady(pageNumber, page);
            if (what != Call::Queries && pageNumber != 1)
                return;
            struct Done {
                std::mutex mutex;
                std::condition_variable condition;
                bool done = false;
            };
            auto done = std::make_shared<Done>();
            std::thread host([done, target, what] {
                bool answer = true;
                BitmapFile first;
                switch (what) {
                case Call::Queries:
                    target->GetPageCount();
                    target->GetIsCollated();
                    target->GetNumCopies();
                    answer = target->GetPage(1, first);
                    break;
                case Call::Stop:
                    target->Stop();
                    break;
                case Call::Delete:
                    answer = target->DeletePages();
                    break;
                case Call::Release:
                    answer = target->Release();
                    break;
                }
                std::lock_guard<std::mutex> guard(done->mutex);
                done->done = answer;
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
    const struct {
        Call call;
        bool asynchronous;
    } cases[] = {{Call::Queries, true}, {Call::Queries, false}, {Call::Stop, true},
                 {Call::Delete, true},  {Call::Release, true},  {Call::Stop, false}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.call) * 2 + c.asynchronous);
        const fs::path fifo = dir / ("call" + std::to_string(n++) + ".fifo");
        RIPEngine* engine = FifoEngine(fifo);
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(engine->StartRIP());
        const std::size_t threads = CountEntries("/proc/self/task");  // the monitor's included
        Waiter waiter;
        waiter.engine = engine;
        waiter.call = c.call;
        // A long job for the calls that end the run: it still goes on at page 1.
        const std::string job = c.call == Call::Queries ? JobOf("ABC") : DistinctPages(400);
        std::thread writer([&] { QuilletTest::WriteWholeFile(fifo, job); });
        const bool delivered = engine->GetPages(&waiter, c.asynchronous);
        EXPECT_TRUE(delivered || c.call != Call::Queries);
        writer.join();
        if (c.call == Call::Release) {
            engines.pop_back();
            // Destroyed by its own monitor thread once the callback returned.
            EXPECT_TRUE(QuilletTest::Eventually(
                [&] { return ChildrenOfThisProcess().empty() && CountEntries("/proc/self/task") < threads; }, 60000));
        } else {
            WaitForEnd(engine);
            EXPECT_EQ(engine->GetPageCount() > 0 ? engine->GetPageCount() : 0, c.call == Call::Queries ? 3 : 0);
        }
        std::lock_guard<std::mutex> guard(waiter.mutex);
        for (std::thread& host : waiter.hosts)
            host.join();
        EXPECT_TRUE(waiter.answered);
        const std::vector<std::int32_t> announced = c.call == Call::Queries ? std::vector<std::int32_t>{1, 2, 3}
                                                                            : std::vector<std::int32_t>{1};
        EXPECT_EQ(waiter.numbers, announced);
        EXPECT_TRUE(c.call != Call::Delete || !Exists(waiter.paths.at(0)));
        EXPECT_TRUE(ChildrenOfThisProcess().empty());
        fs::remove_all(output);
    }
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

TEST_F(RunnerTest, AntiAliasingSmoothsThePageAndJpegQualitySetsItsSize)
{
    // Text and a slanted line on a grey page: with 1 bit for text and 2 for
    // graphics (the default) it has few grey levels, smoothed it has many; a
    // JPEG of quality 5 is well under one of quality 100.
    const fs::path job =
        WriteJob("text.ps", "/Helvetica findfont 30 scalefont setfont 10 20 moveto (Quillet) show\n"
                            "10 60 moveto (renders) show 0 0 moveto 400 190 lineto stroke showpage\n");
    const struct {
        bool smooth;
        RIPFormat format;
        std::int32_t quality;
    } cases[] = {{false, RIP_BMPGRAY, 0}, {true, RIP_BMPGRAY, 0}, {true, RIP_JPEG, 5}, {true, RIP_JPEG, 100}};
    std::vector<std::size_t> measures;
    for (const auto& c : cases) {
        RIPEngine* engine = Engine(job, dir / ("smooth" + std::to_string(measures.size())));
        engine->SetOutputFormat(c.format);
        engine->SetPageSize(400, 200);
        engine->SetAntiAliasing(c.smooth);
        engine->SetJpegQuality(c.quality);
        ASSERT_TRUE(engine->StartRIP());
        const std::vector<std::wstring> pages = Pages(engine);
        ASSERT_EQ(pages.size(), 1u);
        const std::string bytes = QuilletTest::ReadWholeFile(ToUtf8(pages[0]));
        if (c.format == RIP_JPEG) {
            measures.push_back(bytes.size());
            continue;
        }
        // An 8-bit BMP's pixels are its grey levels; they begin where its header says.
        ASSERT_GT(bytes.size(), 14u);
        const std::size_t pixels = static_cast<unsigned char>(bytes[10]) | static_cast<unsigned char>(bytes[11]) << 8;
        measures.push_back(std::set<char>(bytes.begin() + static_cast<std::ptrdiff_t>(pixels), bytes.end()).size());
    }
    EXPECT_LE(measures[0], 4u);
    EXPECT_GE(measures[1], 8u);
    EXPECT_LT(measures[2] * 3, measures[3] * 2);
}

TEST_F(RunnerTest, PageFilesAreCheckedForFormatSizeAndWholeness)
{
    // A real page of every image format, then the same bytes cut short, with
    // a byte more, and asked for at another size.
    const fs::path job = WriteJob("one.ps", JobOf("A"));
    for (RIPFormat format : {RIP_BMP32B, RIP_BMPGRAY, RIP_PNG256, RIP_PNGALPHA, RIP_PNGGRAY, RIP_JPEG,
                             RIP_JPEGGRAY, RIP_TIFF32NC, RIP_TIFFG32D, RIP_TIFFLZW, RIP_PNG16M}) {
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

}  // namespace
}  // namespace Quillet
