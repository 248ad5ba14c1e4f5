// Tests of document printing (Document, DocumentImpl) and of whole captures:
// a document printed to the virtual queue of the private print server comes
// back as a PDF job over the key endpoint.
#include "DocumentSupport.h"
#include "TestSupport.h"
#include "support/HelperProcess.h"
#include "support/PrivateCups.h"
#include "support/ScopedEnv.h"

#include "capture/Document.h"
#include "capture/JobInfo.h"
#include "capture/KeyAccessor.h"
#include "capture/Launcher.h"
#include "platform/ChildProcess.h"
#include "platform/CommandLine.h"
#include "platform/posix/Internal.h"
#include "platform/ShellPrint.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZIpcServer.h"
#include "platform/ZPrintQueue.h"
#include "settings/InstallSettings.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace Quillet;
namespace fs = std::filesystem;

namespace {

using Scratch = QuilletTest::DocumentScratch;
using QuilletTest::HelperCommand;
using QuilletTest::PrivateCups;
using QuilletTest::CountOf;
using QuilletTest::EndedProcessId;
using QuilletTest::Eventually;

/// What one capture gave.
struct Capture {
    bool keysArrived = false;
    tagZBASESTAT printStatus = ZBASE_FAILED;
    bool printOk = false;
    std::wstring keys;
    std::wstring tag;
    std::string jobHead;    // the first bytes of the job the keys name
    std::string spoolFile;
};

/// Prints document to queue and serves the key endpoint meanwhile, as the
/// engine does; then reads the start of the job.
Capture CaptureDocument(const std::string& document, const std::wstring& queue)
{
    Capture result;
    Document printer(FromUtf8(document));
    result.tag = printer.GetJobTag();
    KeyAccessor server(result.tag);
    if (!server.Start())
        return result;
    printer.SetQueueName(queue);
    if (!printer.ThreadStart(5))
        return result;
    ZSynchManager waiter;
    waiter.AddSynchObject(&server);
    if (waiter.WaitForTrigger(false, 20000) == ZBASE_OK && server.Succeeded()) {
        result.keysArrived = true;
        result.keys = server.GetKeys();
        JobInfo job(L"");
        job.Parse(server.GetKeys());
        result.spoolFile = ToUtf8(job.GetPrintJobFile());
        // Open before the final reply's effect could remove the name.
        const Platform::NativeHandle source = job.OpenDataSource();
        const unsigned char yes = 1;
        server.GetServer()->Send(&yes, 1);
        if (source != Platform::kNullHandle) {
            char buffer[64];
            std::size_t count = 0;
            Platform::ReadSource(source, buffer, sizeof buffer, count);
            result.jobHead.assign(buffer, count);
        }
    }
    printer.Join();
    result.printStatus = printer.GetExitStatus();
    result.printOk = printer.GetPrintOk();
    return result;
}

std::string BaseNameOf(const std::string& path)
{
    return fs::path(path).filename().string();
}

}  // namespace

TEST(CaptureTest, TaggedCopyIsReservedOnceAndDeletedWithTheDocument)
{
    std::wstring wideTemp;
    ZBaseStorage::TempDirPath(wideTemp);
    const std::string temp = ToUtf8(wideTemp);
    // Copies of a host that was killed go with the next capture; a live
    // host's copy stays.
    const std::string dead = temp + "qv" + std::to_string(EndedProcessId()) + "n0abcdef.QV_PrintDirect.txt";
    const std::string alive = temp + "qv" + std::to_string(::getpid()) + "n999999abcdef.QV_PrintDirect.txt";
    std::ofstream(dead) << "left behind";
    std::ofstream(alive) << "in use";
    std::wstring tag, copy;
    {
        Document document(L"/some/where/r.doc");
        tag = document.GetJobTag();
        copy = document.GetCopyPath();
        EXPECT_EQ(fs::file_size(ToUtf8(copy)), 0u);
        EXPECT_EQ(document.GetJobTag(), tag);  // no second reservation
    }
    EXPECT_FALSE(fs::exists(ToUtf8(copy)));
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::remove(alive));

    // A missing document is not printed: both attempts fail.
    Document longer(L"/w/p.xhtml");
    longer.SetQueueName(L"QV Page Glance");
    ASSERT_TRUE(longer.ThreadStart(5));
    longer.Join();
    EXPECT_EQ(longer.GetExitStatus(), 4);
    EXPECT_FALSE(longer.GetPrintOk());
}

TEST(CaptureTest, TextAndImagesComeBackAsPdfJobsAlsoThroughTheDefaultQueue)
{
    QUILLET_REQUIRE_CUPS(cups);
    Scratch scratch("capture-test");
    const std::string text = scratch.Write("notes with space \xC3\xA9.txt", "Hello capture\nsecond line\n");
    const std::string ps = scratch.Write("page.ps", "%!PS\n72 72 moveto 300 300 lineto stroke showpage\n");
    const std::string png = scratch.path + "/page.png";
    ASSERT_TRUE(QuilletTest::RunGhostscript("png16m", ps, png, {"-r10"}));
    ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));

    for (const std::string& document : {text, png}) {
        const Capture capture = CaptureDocument(document, L"QV Page Glance");
        ASSERT_TRUE(capture.keysArrived) << document << "\n" << cups->ErrorLog();
        EXPECT_EQ(capture.printStatus, ZBASE_OK);
        EXPECT_TRUE(capture.printOk);
        EXPECT_NE(capture.keys.find(capture.tag), std::wstring::npos);
        // As the print system made it: PDF, not PostScript.
        EXPECT_EQ(capture.jobHead.substr(0, 5), "%PDF-") << document;
        EXPECT_EQ(capture.spoolFile.rfind(cups->SpoolFolder(), 0), 0u) << capture.spoolFile;
        // The backend removes the spool file once the capture has opened it.
        EXPECT_TRUE(Eventually([&] { return !fs::exists(capture.spoolFile); }));
    }

    // "printto" to a queue that does not exist fails, the switch fails too,
    // "print" still reaches the default: exit code 5, printOk false.
    ASSERT_TRUE(cups->AddQueue("Other_Queue", "Other Queue"));
    const Capture fallback = CaptureDocument(text, L"No Such Queue");
    EXPECT_TRUE(fallback.keysArrived) << cups->ErrorLog();
    EXPECT_EQ(fallback.printStatus, 5);
    EXPECT_FALSE(fallback.printOk);
    EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), L"QV_Page_Glance");
}

// As the user argv[0], plants a listening socket, a regular file, a link and
// a folder in the endpoint folder argv[1] and says "planted". Once its input
// ends it reads what reached the socket and removes it all: 0 when nothing
// that reached it holds the tag argv[2] (other builds on this machine may
// offer the socket their own jobs).
QUILLET_TEST_HELPER(plant_as)
{
    const passwd* user = ::getpwnam(argv[0]);
    if (user == nullptr || ::setgid(user->pw_gid) != 0 || ::setuid(user->pw_uid) != 0)
        return 3;
    // "0..." sorts before the servers' "<pid>.<n>": offered first if offered at all.
    const std::string folder = argv[1], socketPath = folder + "0planted";
    Platform::UniqueHandle listener(
        Platform::HandleOf(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    const int fd = Platform::Fd(listener.Get());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0)
        return 4;
    ::chmod(socketPath.c_str(), 0777);
    std::ofstream(folder + "00file") << "x";
    ::symlink(socketPath.c_str(), (folder + "01link").c_str());
    ::mkdir((folder + "02dir").c_str(), 0777);
    std::printf("planted\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    // Whoever connected is still queued, with what it sent.
    std::string received;
    for (Platform::UniqueHandle client;
         client.Reset(Platform::HandleOf(::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK))), client.IsValid();) {
        char buffer[2048];
        const ssize_t got = ::recv(Platform::Fd(client.Get()), buffer, sizeof buffer, 0);
        received.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    for (const char* name : {"0planted", "00file", "01link"})
        ::unlink((folder + name).c_str());
    ::rmdir((folder + "02dir").c_str());
    std::string tag;
    for (char16_t unit : ToUtf16(FromUtf8(argv[2])))
        tag += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    return received.find(tag) == std::string::npos ? 0 : 1;
}

TEST(CaptureTest, OnlyTheJobsOwnUserGetsTheJob)
{
    QUILLET_REQUIRE_CUPS(cups);
    if (::getpwnam("quillet-test") == nullptr)
        GTEST_SKIP() << "no user quillet-test to plant things (scripts/setup.sh test creates it)";
    Scratch scratch("capture-test");
    const std::string text = scratch.Write("private.txt", "for my eyes only\n");
    Document printer(FromUtf8(text));
    const std::wstring tag = printer.GetJobTag();
    // Another user plants things in the folder before the capture's server opens.
    ZIpcServer{ZString(kJobKeyEndpoint)};  // makes sure the folder exists
    QuilletTest::HelperProcess planter(
        L"plant_as", {L"quillet-test", ZIpcServer::EndpointFolder(kJobKeyEndpoint), tag});
    ASSERT_EQ(planter.ReadLine(), "planted");

    KeyAccessor server(tag);
    ASSERT_TRUE(server.Start());
    printer.SetQueueName(L"QV Page Glance");
    ASSERT_TRUE(printer.ThreadStart(5));
    ZSynchManager waiter;
    waiter.AddSynchObject(&server);
    ASSERT_EQ(waiter.WaitForTrigger(false, 20000), ZBASE_OK) << cups->ErrorLog();
    ASSERT_TRUE(server.Succeeded());
    JobInfo job(L"");
    ASSERT_TRUE(job.Parse(server.GetKeys()));
    // The spool file: readable by the job's user (ours) alone.
    struct stat info {};
    ASSERT_EQ(::stat(ToUtf8(job.GetPrintJobFile()).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    const unsigned char yes = 1;
    server.GetServer()->Send(&yes, 1);
    printer.Join();
    EXPECT_EQ(printer.GetExitStatus(), ZBASE_OK);
    EXPECT_EQ(planter.Finish(), 0);  // nothing of this job reached the planted socket
}

// ---- The engine's capture: StartRIP and StartPreview on documents that must
// be printed first.

namespace {

void UseBuildStore()
{
    ::setenv("QUILLET_PREFERENCES", QUILLET_BUILD_STORE, 0);
}

/// Renders document through a fresh service at 36 dpi.
QuilletTest::Rendered RenderAt36(const std::string& document, const std::string& outputFolder)
{
    return QuilletTest::Render(FromUtf8(document), outputFolder, nullptr, 36);
}

std::string MakeSamples(const Scratch& scratch, std::string& pdf, std::string& image)
{
    // Pages of clearly different sizes: equal sizes would count as copies.
    const std::string ps = scratch.Write("sample.ps", "%!PS\n/Helvetica findfont 24 scalefont setfont\n"
                                                      "72 700 moveto (one) show showpage\n"
                                                      "0 1 20 { 72 exch 30 mul 80 add moveto "
                                                      "(page two, line after line) show } for showpage\n");
    pdf = scratch.path + "/sample.pdf";
    // An image kind that no office process reads.
    image = scratch.path + "/sample.bmp";
    QuilletTest::MakePdf(ps, pdf);
    QuilletTest::RunGhostscript("bmp16m", ps, image, {"-r20", "-dLastPage=1"});
    return ps;
}

}  // namespace

TEST(CaptureTest, TextAndImagesThroughTheQueueComeOutOnTheDefaultPaper)
{
    QUILLET_REQUIRE_CUPS(cups);
    UseBuildStore();
    Scratch scratch("capture-test");
    std::string pdf, png;
    MakeSamples(scratch, pdf, png);
    std::string lines;
    for (int n = 1; n <= 80; ++n)
        lines += "line " + std::to_string(n) + " of a letter that needs two pages\n";
    // Text that no office process reads (".txt" would be laid out by one).
    const std::string text = scratch.Write("letter.text", lines);
    ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));

    // The private server's default paper is A5 (420 x 595 points): a
    // document without a size of its own gets it, at 72 dpi one pixel a point.
    const QuilletTest::Rendered letter = QuilletTest::Render(FromUtf8(text), scratch.path + "/text");
    EXPECT_EQ(letter.pages, (QuilletTest::PageSizes{{420, 595}, {420, 595}})) << letter.reason << cups->ErrorLog();
    const QuilletTest::Rendered image = QuilletTest::Render(FromUtf8(png), scratch.path + "/png");
    EXPECT_EQ(image.pages, (QuilletTest::PageSizes{{420, 595}})) << image.reason << cups->ErrorLog();
}

TEST(CaptureTest, RefusedDocumentsStartNothing)
{
    DocumentImpl impl;
    for (const wchar_t* refused : {L"x.CDR", L"y.indd", L"/w.d/noext", L"dot."})
        EXPECT_FALSE(impl.CanPrint(refused)) << ToUtf8(refused);

    UseBuildStore();
    Scratch scratch("capture-test");
    const std::string drawing = scratch.Write("plan.cdr", "not printable this way");
    const QuilletTest::Rendered refused = RenderAt36(drawing, scratch.path + "/out");
    EXPECT_FALSE(refused.started);
    EXPECT_EQ(refused.reason, "the document type cannot be printed: " + drawing);
    EXPECT_FALSE(fs::exists(scratch.path + "/out"));
}

// StartRIP on a document that cannot be printed, then a PostScript job: 0
// when the capture failed with a reason that begins with argv[3] and a
// PostScript job rendered afterwards.
QUILLET_TEST_HELPER(capture_fails)
{
    const QuilletTest::Rendered captured = RenderAt36(argv[0], argv[2]);
    const std::size_t pages = RenderAt36(argv[1], argv[2]).pages.size();
    if (captured.reason.rfind(argv[3], 0) != 0)
        std::fprintf(stderr, "capture failed with: %s\n", captured.reason.c_str());
    return !captured.started && captured.reason.rfind(argv[3], 0) == 0 && pages == 2 ? 0 : 1;
}

TEST(CaptureTest, PrintingThatFailsEndsTheCaptureWithItsCauseAndTheEngineStaysUsable)
{
    // Without a print server, and with a queue that is not installed (then
    // there is no default either, in a fresh home). Printing fails at once,
    // so the capture does not wait for the job keys.
    UseBuildStore();
    Scratch scratch("capture-test");
    std::string pdf, png;
    const std::string ps = MakeSamples(scratch, pdf, png);
    const std::string text = scratch.Write("lonely.text", "nobody prints me\n");
    const std::string store = scratch.path + "/preferences.conf";
    QuilletTest::WriteStoreWith(store, "QueueName", "No Such Queue");
    auto expect = [&](std::vector<std::pair<std::wstring, std::wstring>> environment, const char* reason) {
        environment.push_back({L"HOME", FromUtf8(scratch.path)});
        EXPECT_EQ(PrivateCups::Run(HelperCommand(L"capture_fails", {FromUtf8(text), FromUtf8(ps),
                                                                    FromUtf8(scratch.path + "/out"), FromUtf8(reason)}),
                                   environment), 0) << reason;
    };
    expect({{L"CUPS_SERVER", L"/nonexistent/cups.sock"}}, "the print server cannot be reached (/nonexistent/cups.sock)");
    if (PrivateCups::Get() != nullptr)
        expect({{L"QUILLET_PREFERENCES", FromUtf8(store)}}, "the print queue No Such Queue is not installed");
}

// Watches the job of a tagged copy of argv[0] that was never printed: 0 when
// the watch says the job cannot come, with a reason that begins with argv[1].
QUILLET_TEST_HELPER(watch_job)
{
    Document document(FromUtf8(argv[0]));
    document.GetJobTag();
    std::string why;
    return !document.JobMayStillCome(why) && why.rfind(argv[1], 0) == 0 ? 0 : 1;
}

TEST(CaptureTest, JobsThatCannotComeFailTheCaptureWithTheServersReasonAndAreCancelled)
{
    QUILLET_REQUIRE_CUPS(cups);
    UseBuildStore();
    Scratch scratch("capture-test");
    // Documents the queue still converts (images), but that the server cannot.
    const std::string broken = scratch.Write("broken.bmp", "\x89PNG\r\n\x1a\n not an image at all");
    const std::string text = scratch.Write("text.bmp", "just text\n");
    const std::string letter = scratch.Write("waiting.text", "for a paused queue\n");
    ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));
    const struct {
        std::string document;
        const char* reason;
        bool paused;
    } cases[] = {
        {broken, "the print server ", false},
        {text, "the print server ", false},
        {letter, "the print queue QV_Page_Glance is paused; the job of ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        if (c.paused) {
            ASSERT_EQ(PrivateCups::Run({L"cupsdisable", L"QV_Page_Glance"}), 0);
        }
        const QuilletTest::Rendered rendered = RenderAt36(c.document, scratch.path + "/out");
        EXPECT_FALSE(rendered.started) << cups->ErrorLog();
        EXPECT_EQ(rendered.reason.rfind(c.reason, 0), 0u) << rendered.reason;
        EXPECT_NE(rendered.reason.find(c.document), std::string::npos) << rendered.reason;
        if (c.paused) {
            ASSERT_EQ(PrivateCups::Run({L"cupsenable", L"QV_Page_Glance"}), 0);
        }
        // Nothing of the capture stays in the queue or in the spool folder.
        ZPrintJob job;
        ASSERT_TRUE(ZPrintQueue::FindJob(PrintDirectSuffix(), job));
        EXPECT_EQ(job.state, ZPrintJob::State::Ended);
        EXPECT_TRUE(Eventually([&] { return fs::is_empty(cups->SpoolFolder()); }));
    }
    // A print server that went away is named as such.
    EXPECT_EQ(PrivateCups::Run(HelperCommand(L"watch_job", {FromUtf8(letter), L"the print server went away"}),
                               {{L"CUPS_SERVER", L"/nonexistent/cups.sock"}}), 0);
}

// ---- The preview launcher and the preview application.

TEST(CaptureTest, PreviewCommandLineHoldsEachValueAsOneArgument)
{
    // What the preview application receives, argument by argument: a
    // ready-made option text keeps its own docname and printername, and a
    // path or name with spaces stays one argument.
    std::wstring app;
    using Args = std::vector<std::wstring>;
    const struct {
        const wchar_t* preview;
        const wchar_t* intent;
        const wchar_t* docName;
        const wchar_t* jobFile;
        Args expected;
    } cases[] = {
        {L"X", L"-docname \"mine\" -x", L"D", L"", {L"X", L"-docname", L"mine", L"-x", L"-printername", L"Q"}},
        {L"X", L"-printername P", L"", L"", {L"X", L"-printername", L"P", L"-docname", L""}},
        {L"/my apps/QVPageGlance", L"", L"My D 1", L"/s/j 1.ps",
         {L"/my apps/QVPageGlance", L"-docname", L"My D 1", L"-printername", L"Q", L"-printjobfile", L"/s/j 1.ps"}},
    };
    for (const auto& c : cases) {
        const std::wstring line = BuildPreviewCommandLine(c.preview, c.intent, c.docName, L"Q", c.jobFile, app);
        EXPECT_EQ(Platform::SplitCommandLine(line), c.expected) << ToUtf8(line);
    }
}

namespace {

/// Waits up to a minute for the preview's whole contact sheet; what it holds then.
std::string WaitForSheet(const std::string& folder)
{
    std::string sheet;
    Eventually([&] { return (sheet = QuilletTest::ReadWholeFile(folder + "/index.html")).find("</html>") != sheet.npos; },
               60000);
    return sheet;
}

}  // namespace

TEST(CaptureTest, PreviewReadsAJobWithoutPrintJobFileFromItsStandardInput)
{
    UseBuildStore();
    if (::access(PrivateCups::PreviewPath().c_str(), X_OK) != 0)
        GTEST_SKIP() << "the preview application is not built";
    Scratch scratch("capture-test");
    std::string pdf, png;
    const std::string ps = MakeSamples(scratch, pdf, png);
    // A job held as a handle, without a print-job file: the preview gets it
    // as its standard input.
    Platform::UniqueHandle file(Platform::OpenForReading(FromUtf8(ps)));
    ASSERT_TRUE(file.IsValid());
    JobInfo job(L"");
    ASSERT_TRUE(job.Parse(L"handle=" + std::to_wstring(Platform::Fd(file.Get())) + L" docname=\"my doc.txt\""));
    ASSERT_TRUE(job.GetPrintJobFile().empty());
    job.intent = L"-outdir \"" + FromUtf8(scratch.path) + L"/preview\"";
    ASSERT_TRUE(StartPreviewProcess(&InstallSettings::Instance(), &job));
    const std::string sheet = WaitForSheet(scratch.path + "/preview");
    EXPECT_EQ(CountOf(sheet, "<img "), 2u) << sheet;
    EXPECT_NE(sheet.find("my doc.txt"), std::string::npos);
}

// StartPreview on the document argv[0], with the ready-made intent argv[1].
QUILLET_TEST_HELPER(preview_document)
{
    IRIPBase* engine = CreateRIPService(FromUtf8(argv[0]));
    engine->SetIntent(FromUtf8(argv[1]));
    engine->StartPreview();
    engine->Release();
    return 0;
}

TEST(CaptureTest, StartPreviewHandsACapturedDocumentToThePreview)
{
    QUILLET_REQUIRE_CUPS(cups);
    UseBuildStore();
    Scratch scratch("capture-test");
    std::string pdf, png;
    const std::string ps = MakeSamples(scratch, pdf, png);
    ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));
    // A PostScript document is its own job, a PDF and an office document's
    // PDF reach the preview as an open file, a text file as its captured job.
    std::vector<std::pair<std::string, std::size_t>> documents = {
        {ps, 2}, {pdf, 2}, {scratch.Write("note.txt", "a line of text\n"), 1}};
    if (std::string whyNot; QuilletTest::CanRunOffice(whyNot))
        documents.emplace_back(QUILLET_SOURCE_DIR "/tests/data/office/report.docx", 3);
    for (const auto& [document, pages] : documents) {
        const std::string folder = scratch.path + "/preview-" + BaseNameOf(document);
        Platform::ChildProcess child;
        // The host's standard input is the null device: the preview renders
        // the document named on its command line.
        Platform::SpawnOptions options;
        options.stdErr = Platform::HandleOf(2);
        ASSERT_FALSE(Platform::ChildProcess::Spawn(
            HelperCommand(L"preview_document", {FromUtf8(document), FromUtf8("-outdir \"" + folder + "\"")}),
            options, child));
        EXPECT_TRUE(child.Wait(60000).value_or(Platform::ChildEnd{Platform::ChildEnd::Kind::Killed, 0}).Succeeded());
        const std::string sheet = WaitForSheet(folder);
        EXPECT_EQ(CountOf(sheet, "<img "), pages) << document << cups->ErrorLog();
        // Named after the host's document, not the tagged copy it was printed from.
        EXPECT_NE(sheet.find(BaseNameOf(document)), std::string::npos) << sheet;
        EXPECT_EQ(sheet.find(ToUtf8(PrintDirectSuffix())), std::string::npos) << sheet;
    }
}

TEST(CaptureTest, BackendCancelsAJobNobodyWaitsForAndSweepsOldSpoolFiles)
{
    const std::string backend = PrivateCups::BackendPath();
    if (::access(backend.c_str(), X_OK) != 0)
        GTEST_SKIP() << "the backend is not built";
    Scratch scratch("capture-test");
    const std::string spool = scratch.path + "/spool";
    fs::create_directories(spool);
    const std::string old = spool + "/job-old.ps", recent = spool + "/job-new.ps", other = spool + "/notes",
                      killed = spool + "/job-" + std::to_string(EndedProcessId()) + "-abcdef.ps";
    for (const std::string& file : {old, recent, other, killed})
        std::ofstream(file) << "x";
    const auto past = fs::file_time_type::clock::now() - std::chrono::minutes(20);
    fs::last_write_time(old, past);
    fs::last_write_time(other, past);
    const std::string job = scratch.Write("job.ps", "%!PS\nshowpage\n");
    const std::string empty = scratch.Write("empty.ps", "");

    // A user this machine does not know gets nothing spooled; our own user's
    // job, which nobody waits for, is cancelled, and so is a job without any
    // data (a filter that failed). Either way the queue goes on.
    const std::string self = ::getpwuid(::geteuid())->pw_name;
    Platform::SpawnOptions spooled;
    spooled.environment = {{L"QUILLET_SPOOL", FromUtf8(spool)}};
    for (const auto& [user, file] : {std::pair<std::string, std::string>{"no-such-user-here", job}, {self, job},
                                     {self, empty}}) {
        Platform::ChildProcess child;
        ASSERT_FALSE(Platform::ChildProcess::Spawn(
            {FromUtf8(backend), L"7", FromUtf8(user), L"nobody waits for this " + std::to_wstring(::getpid()),
             L"1", L"", FromUtf8(file)},
            spooled, child));
        const auto end = child.Wait(60000);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->code, 5) << user << " " << file;
    }
    EXPECT_FALSE(fs::exists(old));
    EXPECT_FALSE(fs::exists(killed));  // its backend was killed: gone at once
    EXPECT_TRUE(fs::exists(recent));
    EXPECT_TRUE(fs::exists(other));  // not a spool file of ours
    EXPECT_EQ(std::distance(fs::directory_iterator(spool), {}), 2);  // the cancelled jobs' own files are gone too
}

TEST(CaptureTest, ShellPrintFindsQueuesByNameOrDisplayName)
{
    QUILLET_REQUIRE_CUPS(cups);
    Scratch scratch("capture-test");
    const std::string text = scratch.Write("stray.txt", "nobody captures this\n");
    // Queue names ignore case, display names do not.
    EXPECT_TRUE(Platform::ShellPrint(FromUtf8(text), L"qv_page_glance"));
    EXPECT_TRUE(Platform::ShellPrint(FromUtf8(text), L"QV Page Glance"));
    std::string failure;
    EXPECT_FALSE(Platform::ShellPrint(FromUtf8(text), L"qv page glance", &failure));
    EXPECT_EQ(failure, "the print queue qv page glance is not installed");
    EXPECT_FALSE(Platform::ShellPrint(FromUtf8(scratch.path + "/missing.txt"), L"QV_Page_Glance", &failure));
    EXPECT_EQ(failure, "the document " + scratch.path + "/missing.txt cannot be read");
}
