// Tests of office documents: laid out as PDF by office processes that are
// kept running, confined, with no print server; each kind against the
// suite's own PDF export; documents that link what they may not reach;
// processes that die, hang, grow, serve many documents, and end with their
// host.
#include "DocumentSupport.h"
#include "support/Files.h"
#include "support/HelperProcess.h"
#include "support/ScopedEnv.h"

#include "capture/OfficePool.h"
#include "capture/OfficeProcess.h"
#include "capture/OfficeProtocol.h"
#include "platform/PrivateFolder.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Quillet;
namespace fs = std::filesystem;

namespace {

const std::string kSamples = QUILLET_SOURCE_DIR "/tests/data/office/";

using QuilletTest::kSanitized;

#define QUILLET_REQUIRE_OFFICE()            \
    std::string whyNot;                     \
    if (!QuilletTest::CanRunOffice(whyNot)) \
    GTEST_SKIP() << whyNot

/// What is left of the hosts whose temporary folder was temp: what it holds,
/// and the processes whose command line names it.
std::vector<std::string> Remains(const std::string& temp)
{
    // What goes while it is listed is not left.
    std::vector<std::string> left;
    std::error_code error;
    for (fs::recursive_directory_iterator it(temp, error), end; !error && it != end; it.increment(error))
        left.push_back(it->path().string());
    for (const auto& entry : fs::directory_iterator("/proc", error))
        if (QuilletTest::ReadWholeFile(entry.path().string() + "/cmdline").find(temp) != std::string::npos)
            left.push_back(entry.path().string());
    return left;
}

// Waits, as a stuck office process would, but ends once its host has gone
// (standard input hung up), as the real one's watch thread makes it do: a
// fake left waiting must not outlive the test.
[[noreturn]] void StuckUntilHostGone()
{
    pollfd input{0, 0, 0};
    while (::poll(&input, 1, -1) == 0 || (input.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
    }
    ::_exit(0);
}

}  // namespace

// An office process that fakes the suite: argv[0] is how it starts ("ok", or
// "broken" to say the suite cannot start), argv[1] its folder. A document
// named "hang..." is never answered, "crash..." ends the process, "files..."
// fills its folder with files of 1 MB, "unlinked..." a removed file,
// "grow..." takes memory until refused, "keep..." leaves a file in its
// folder (as a registered font would); anything else gets a small PDF. The
// memory it reports is 5000 bytes.
QUILLET_TEST_HELPER(office_fake)
{
    if (std::string(argv[0]) == "broken") {
        std::cout << OfficeProtocol::ErrorReply("LibreOffice cannot be started from /nowhere") << std::flush;
        return 1;
    }
    std::cout << OfficeProtocol::ReadyReply() << std::flush;
    for (std::string line, document, pdf; std::getline(std::cin, line);) {
        OfficeProtocol::ParseConvertRequest(line, document, pdf);
        if (document.find("/hang") != std::string::npos)
            StuckUntilHostGone();
        if (document.find("/crash") != std::string::npos)
            ::_exit(3);  // at once, as a crash would: no exit handler (a sanitizer's leak check) runs
        const std::string megabyte(1 << 20, 'x');
        if (document.find("/unlinked") != std::string::npos) {
            std::ofstream file(std::string(argv[1]) + "/unlinked");
            ::unlink((std::string(argv[1]) + "/unlinked").c_str());
            for (;; ::usleep(10000))
                file << megabyte << std::flush;
        }
        for (int n = 0; document.find("/files") != std::string::npos; ++n, ::usleep(10000))
            std::ofstream(std::string(argv[1]) + "/file" + std::to_string(n)) << megabyte;
        while (document.find("/grow") != std::string::npos) {
            void* more = std::malloc(4 << 20);
            if (more == nullptr)
                StuckUntilHostGone();
            std::memset(more, 1, 4 << 20);
            ::usleep(10000);
        }
        if (document.find("/keep") != std::string::npos)
            std::ofstream(std::string(argv[1]) + "/font.ttf") << document;
        std::ofstream(pdf) << "%PDF-1.4 " << document << "\n";
        std::cout << OfficeProtocol::DoneReply(5000) << std::flush;
    }
    return 0;
}

TEST(OfficeTest, PoolReplacesProcessesThatDieHangGrowOrServedTheirShare)
{
    QuilletTest::DocumentScratch scratch("office-pool");
    const Platform::PrivateFolder output(L"office-test");
    const std::wstring pdf = output.GetPath() + L"/document.pdf";
    auto pool = [](const char* start) {
        return std::make_unique<OfficePool>(QuilletTest::HelperCommand(L"office_fake", {FromUtf8(start)}));
    };
    struct Step {
        const char* document;
        const char* failure;  // empty: laid out
        int process;          // the pool's process afterwards: equal numbers, the same one; 0: none
    };
    // The run's bounds: seconds, bytes, memory (0: none).
    const OfficeRunBounds unbounded{}, oneSecond{{}, 1, 0, 0}, fiveMegabytes{{}, 0, 5 << 20, 0},
        memory{{}, 0, 0, 64 << 20};
    const struct {
        const char* name;
        OfficeLimits limits;
        std::vector<Step> steps;
        OfficeRunBounds run;
    } cases[] = {
        // A process that served its share, or grew too large, is replaced at
        // once, so that the next document finds its successor started.
        // (A name with a blank, "%", a line break and a non-ASCII letter crosses the protocol whole.)
        {"documents per process", {1, 2, 60000, 1 << 20},
         {{"a.docx", "", 1}, {"b.docx", "", 2}, {"c 1%41\n\xC3\xA9.docx", "", 2}, {"d.docx", "", 3}}, unbounded},
        {"memory bound", {1, 100, 60000, 4000}, {{"a.docx", "", 1}, {"b.docx", "", 2}}, unbounded},
        // So is one that took too long.
        {"time limit", {1, 100, 5000, 1 << 20},
         {{"a.docx", "", 1}, {"hang.docx", "LibreOffice did not lay out hang.docx within 5 s", 2},
          {"b.docx", "", 2}}, unbounded},
        // One that dies under a document gets one successor to try again.
        {"crash", {1, 100, 60000, 1 << 20},
         {{"a.docx", "", 1},
          {"crash.docx", "LibreOffice ended while laying out crash.docx (exit code 3)", 0},
          {"b.docx", "", 3}}, unbounded},
        // One that kept anything of a document serves no other.
        {"kept", {1, 100, 60000, 1 << 20}, {{"a.docx", "", 1}, {"keep.docx", "", 2}, {"b.docx", "", 2}}, unbounded},
        // A document past a bound of its run fails naming it; its process goes.
        {"run's time", {1, 100, 60000, 1 << 20},
         {{"a.docx", "", 1},
          {"hang.docx", "the job ran past its time limit of 1 s while LibreOffice laid out hang.docx", 2}},
         oneSecond},
        {"run's bytes in files", {1, 100, 60000, 1 << 20},
         {{"a.docx", "", 1},
          {"files.docx", "the job wrote more than its limit of 5 MB while LibreOffice laid out files.docx", 2}},
         fiveMegabytes},
        {"run's bytes in a removed file", {1, 100, 60000, 1 << 20},
         {{"unlinked.docx", "the job wrote more than its limit of 5 MB while LibreOffice laid out unlinked.docx", 1},
          {"a.docx", "", 1}},
         fiveMegabytes},
        {"run's memory", {1, 100, 60000, 1 << 20},
         {{"grow.docx", "the job needed more than its memory bound of 64 MB while LibreOffice laid out grow.docx", 1},
          {"a.docx", "", 1}},
         memory},
    };
    for (const auto& c : cases) {
        if (kSanitized && c.run.maxMemoryBytes > 0)
            continue;  // a sanitizer's shadow memory alone is past any such bound
        auto offices = pool("ok");
        offices->SetLimits(c.limits);
        std::map<int, std::int64_t> processes;
        for (const Step& step : c.steps) {
            std::string failure;
            OfficeRunBounds run = c.run;
            run.start = std::chrono::steady_clock::now();
            const bool done = offices->Convert(FromUtf8(scratch.Write(step.document, "x")), pdf, run, failure);
            EXPECT_EQ(failure, step.failure) << c.name << ": " << step.document;
            EXPECT_EQ(done, *step.failure == '\0') << c.name << ": " << step.document;
            if (done) {
                EXPECT_EQ(QuilletTest::ReadWholeFile(ToUtf8(pdf)).substr(0, 5), "%PDF-");
            }
            const std::vector<std::int64_t> ids = offices->GetProcessIds();
            ASSERT_EQ(ids.size(), step.process == 0 ? 0u : 1u) << c.name << ": " << step.document;
            if (step.process == 0)
                continue;
            processes.emplace(step.process, ids[0]);
            EXPECT_EQ(processes[step.process], ids[0]) << c.name << ": " << step.document;
            for (const auto& [number, id] : processes)
                EXPECT_TRUE(number == step.process || id != ids[0]) << c.name << ": " << step.document;
        }
    }

    // A process killed while it waits is replaced by the next document.
    auto offices = pool("ok");
    std::string failure;
    ASSERT_TRUE(offices->Convert(FromUtf8(scratch.Write("first.docx", "x")), pdf, {}, failure));
    const std::int64_t killed = offices->GetProcessIds().at(0);
    ::kill(static_cast<pid_t>(killed), SIGKILL);
    EXPECT_TRUE(offices->Convert(FromUtf8(scratch.Write("second.docx", "x")), pdf, {}, failure)) << failure;
    EXPECT_NE(offices->GetProcessIds().at(0), killed);

    // A suite that cannot start says why; nothing is left running.
    auto broken = pool("broken");
    EXPECT_FALSE(broken->Convert(FromUtf8(scratch.Write("any.docx", "x")), pdf, {}, failure));
    EXPECT_EQ(failure, "LibreOffice cannot be started from /nowhere");
    EXPECT_TRUE(broken->GetProcessIds().empty());
}

TEST(OfficeTest, EachKindRendersAsItsOwnPdfExportWithoutAPrintServer)
{
    QUILLET_REQUIRE_OFFICE();
    QuilletTest::DocumentScratch scratch("office-kinds");
    // A text document with comments and tracked changes among them.
    // Text, CSV and HTML (as a page, not as its source) are the suite's too.
    // Pictures come last: each is one page of its own size at 36 dpi (by its
    // resolution; a GIF gives none, so 96 dpi), where LibreOffice's own
    // export puts it on its default paper.
    const std::vector<std::string> kinds = {"letter.odt", "report.docx", "notes.rtf", "slides.pptx", "sheet.xlsx",
                                            "comments.docx", "plain.txt", "figures.csv", "page.html",
                                            "picture.png", "photo.jpg", "scan.tiff", "drawing.gif", "figure.svg"};
    const std::map<std::string, std::pair<int, int>> pictures = {
        {"picture.png", {72, 36}}, {"photo.jpg", {72, 108}}, {"scan.tiff", {72, 36}},
        {"drawing.gif", {36, 18}}, {"figure.svg", {108, 72}}};
    // The reference, made meanwhile by LibreOffice's own command line (a
    // user's LibreOffice running beside ours): its PDF export, rendered by
    // Ghostscript alone at the same resolution.
    std::string arguments;
    for (const std::string& kind : kinds)
        if (pictures.count(kind) == 0)
            arguments += " " + kSamples + kind;
    // Set before any thread starts a child: a child's environment is read
    // from this process's.
    QuilletTest::ScopedEnv noServer("CUPS_SERVER", "/nonexistent/cups.sock");
    std::thread reference([&] {
        QuilletTest::PrivateCups::Run(
            {L"sh", L"-c",
             FromUtf8("cd " + scratch.path + " && soffice -env:UserInstallation=file://" + scratch.path +
                      "/profile --headless --convert-to pdf --outdir reference" + arguments +
                      " >/dev/null 2>&1 && for f in reference/*.pdf; do mkdir ${f%.pdf} && gs -q -dSAFER "
                      "-dBATCH -dNOPAUSE -sDEVICE=png16m -r36 -o ${f%.pdf}/%03d.png $f; done")});
    });
    std::vector<QuilletTest::Rendered> ours(kinds.size());
    // Two documents at a time, each on a process of its own.
    for (std::size_t i = 0; i < kinds.size(); i += 2) {
        std::vector<std::thread> together;
        for (std::size_t k = i; k < std::min(i + 2, kinds.size()); ++k)
            together.emplace_back([&, k] {
                ours[k] = QuilletTest::Render(FromUtf8(kSamples + kinds[k]), scratch.path + "/" + kinds[k],
                                                     nullptr, 36);
            });
        for (std::thread& thread : together)
            thread.join();
    }
    reference.join();
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const std::string& kind = kinds[k];
        if (pictures.count(kind) != 0) {
            const std::pair<int, int> size = pictures.at(kind);
            EXPECT_EQ(ours[k].reason, "") << kind;
            EXPECT_EQ(ours[k].pages, QuilletTest::PageSizes{size}) << kind;
            EXPECT_EQ(ours[k].orientation, size.first > size.second ? 2 : 1) << kind;
            continue;
        }
        const std::string folder = scratch.path + "/reference/" + kind.substr(0, kind.find('.'));
        QuilletTest::PageSizes expected;
        for (int n = 1; fs::exists(folder + "/00" + std::to_string(n) + ".png"); ++n)
            expected.push_back(QuilletTest::PngSize(folder + "/00" + std::to_string(n) + ".png"));
        ASSERT_FALSE(expected.empty()) << kind;
        EXPECT_EQ(ours[k].reason, "") << kind;
        // Text, CSV and HTML give no paper: each is laid out on its office
        // process's default paper, Letter or A4 by its locale, as LibreOffice's
        // own export lays it out on its own.
        const bool paperless = kind.find(".txt") != kind.npos || kind.find(".csv") != kind.npos ||
                               kind.find(".html") != kind.npos;
        if (paperless) {
            // HTML is laid out as text: LibreOffice's own export of it as a
            // web page begins with a blank page.
            EXPECT_EQ(ours[k].pages.size(), kind == "page.html" ? 1 : expected.size()) << kind;
            for (const auto& page : ours[k].pages)
                EXPECT_TRUE(page == std::make_pair(306, 396) || page == std::make_pair(298, 421)) << kind;
        } else {
            EXPECT_EQ(ours[k].pages, expected) << kind;
        }
        EXPECT_EQ(ours[k].orientation, kind == "slides.pptx" ? 2 : 1) << kind;
    }

    // Documents the suite cannot load fail with its reason. Documents that
    // link an image by URL, on a local listener, or by a path outside their
    // folder are laid out without it: the office process reaches no network
    // and reads nothing but its copy of the document.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_TRUE(listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(listener, 8) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    const std::string outside = scratch.Write("outside.png", "\x89PNG\r\n\x1a\n");
    const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(opens, outside.c_str(), IN_OPEN), 0);
    std::string linked = QuilletTest::ReadWholeFile(kSamples + "linked.fodt");
    linked.replace(linked.find("@PORT@"), 6, std::to_string(ntohs(address.sin_port)));
    linked.replace(linked.find("@OUTSIDE@"), 9, outside);
    const struct {
        const char* name;
        std::string content;
        const char* reason;
        std::size_t pages;
    } documents[] = {
        {"broken.docx", "PK\x03\x04 cut short", "LibreOffice cannot load broken.docx", 0},
        {"empty.xlsx", "", "LibreOffice cannot load empty.xlsx: the file is empty", 0},
        {"linked.fodt", linked, "", 1},
    };
    for (const auto& d : documents) {
        const QuilletTest::Rendered rendered = QuilletTest::Render(FromUtf8(scratch.Write(d.name, d.content)),
                                                                   scratch.path + "/" + d.name + ".pages");
        EXPECT_EQ(rendered.reason.substr(0, std::strlen(d.reason)), d.reason) << d.name;
        EXPECT_EQ(rendered.pages.size(), d.pages) << d.name;
    }
    pollfd request{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&request, 1, 0), 0) << "the image linked by URL was fetched";
    char event[sizeof(inotify_event) + NAME_MAX + 1];
    EXPECT_LT(::read(opens, event, sizeof event), 0) << "the file linked by path was opened";
    ::close(opens);
    ::close(listener);
}

TEST(OfficeTest, OneProcessServesSixtyDocuments)
{
    QUILLET_REQUIRE_OFFICE();
    QuilletTest::DocumentScratch scratch("office-fifty");
    OfficePool offices({QuilletTest::OfficeProgram()});
    const std::vector<std::string> kinds = {"report.docx", "sheet.xlsx", "slides.pptx", "letter.odt", "notes.rtf",
                                            "comments.docx"};
    const Platform::PrivateFolder output(L"office-test");
    const std::wstring pdf = output.GetPath() + L"/document.pdf";
    std::set<std::int64_t> processes;
    for (int n = 0; n < 60; ++n) {
        std::string failure;
        ASSERT_TRUE(offices.Convert(FromUtf8(kSamples + kinds[n % kinds.size()]), pdf, {}, failure))
            << n << ": " << failure;
        EXPECT_EQ(QuilletTest::ReadWholeFile(ToUtf8(pdf)).substr(0, 5), "%PDF-") << n;
        for (std::int64_t id : offices.GetProcessIds())
            processes.insert(id);
    }
    EXPECT_EQ(processes.size(), 1u);
}

// A host of an office process: starts one ahead of time, lays out argv[0]
// once, says so and then waits to be killed.
QUILLET_TEST_HELPER(office_host)
{
    std::string failure;
    if (!StartOfficeProcess() || !OfficePool::Instance().Convert(FromUtf8(argv[0]), FromUtf8(argv[1]), {}, failure))
        return 1;
    std::printf("done\n");
    std::fflush(stdout);
    ::pause();
    return 0;
}

TEST(OfficeTest, NothingOfAnOfficeProcessOutlivesItsHost)
{
    QUILLET_REQUIRE_OFFICE();
    QuilletTest::DocumentScratch scratch("office-host");
    const std::string temp = scratch.path + "/tmp";
    fs::create_directory(temp);
    // A killed host's office process ends as its input closes and empties its
    // folder; the folder itself, which the confined process may not remove,
    // goes with the next office process's start.
    std::vector<std::string> left;
    {
        const QuilletTest::ScopedEnv tempFolder("TMPDIR", temp.c_str());
        QuilletTest::HelperProcess host(
            L"office_host", {FromUtf8(kSamples + "report.docx"), FromUtf8(scratch.path + "/document.pdf")});
        ASSERT_EQ(host.ReadLine(), "done");
        ASSERT_FALSE(Remains(temp).empty());
        host.Kill();
        for (int i = 0; i < 600 && (left = Remains(temp)).size() > 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(left.size(), 1u) << "the killed host's office process and its files stay";
    // A host that returns from main takes its office process and every
    // folder of its run with it, at once.
    EXPECT_EQ(QuilletTest::PrivateCups::Run({FromUtf8(QUILLET_BINARY_DIR "/bin/quillet-rip"), L"-q", L"-r", L"36", L"-o",
                                             FromUtf8(scratch.path + "/pages"), FromUtf8(kSamples + "report.docx")},
                                            {{L"TMPDIR", FromUtf8(temp)}}),
              0);
    EXPECT_EQ(Remains(temp), std::vector<std::string>());
}

namespace {

/// The pages of a rendering of document into a fresh folder, byte for byte
/// in page order (Ghostscript's PNG pages hold nothing but the pixels and
/// their size).
std::string PagesOf(const std::string& document, const std::string& folder)
{
    const QuilletTest::Rendered rendered = QuilletTest::Render(FromUtf8(document), folder);
    std::set<std::string> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        files.insert(entry.path().string());
    std::string pages = rendered.reason;
    for (const std::string& file : files)
        pages += QuilletTest::ReadWholeFile(file);
    return pages;
}

}  // namespace

TEST(OfficeTest, NoDocumentChangesHowALaterOneRenders)
{
    QUILLET_REQUIRE_OFFICE();
    QuilletTest::DocumentScratch scratch("office-fonts");
    // Documents whose text is set in a font, some embedding a font renamed to
    // that name: a free font with other glyphs.
    const std::string fonts = "/usr/share/fonts/truetype/dejavu/";
    auto write = [&](const std::string& name, const std::string& font, const std::string& embedded) {
        const std::string path = scratch.path + "/" + name;
        std::vector<std::wstring> argv = {L"/usr/bin/python3", FromUtf8(QUILLET_SOURCE_DIR "/tests/support/font_document.py"),
                                          FromUtf8(path), L"TOTAL DUE 100 USD", FromUtf8(font)};
        if (!embedded.empty())
            argv.push_back(FromUtf8(fonts + embedded));
        return QuilletTest::PrivateCups::Run(argv) == 0 ? path : std::string();
    };
    const struct {
        const char* name;
        std::string observed;  // rendered before and after the other one, in the same host
        std::string other;
    } cases[] = {
        {"a look-alike of a font the victim names", write("victim.odt", "Calibri", ""),
         write("look-alike.odt", "Calibri", "DejaVuSansMono.ttf")},
        {"the victim's private font, named by a later document", write("names-private.odt", "Private Sans", ""),
         write("private.odt", "Private Sans", "DejaVuSerif.ttf")},
    };
    for (const auto& c : cases) {
        if (c.observed.empty() || c.other.empty())
            GTEST_SKIP() << "python3-fonttools is not installed (scripts/setup.sh test installs it)";
        const std::string before = PagesOf(c.observed, scratch.path + "/before");
        const std::string other = PagesOf(c.other, scratch.path + "/other");
        const std::string after = PagesOf(c.observed, scratch.path + "/after");
        EXPECT_GT(before.size(), 1000u) << c.name << ": " << before.substr(0, 200);
        EXPECT_GT(other.size(), 1000u) << c.name << ": " << other.substr(0, 200);
        EXPECT_TRUE(before == after) << c.name;
        for (const char* folder : {"/before", "/other", "/after"})
            fs::remove_all(scratch.path + folder);
    }
}
