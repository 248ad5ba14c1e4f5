// Hostile jobs, output folders and limits through the public interface: what a
// document reaches beyond its pages (nothing), what it leaves behind, and what
// the host sees.
#include "DocumentSupport.h"
#include "support/Files.h"
#include "support/ScopedEnv.h"

#include "engine/GhostscriptArgs.h"
#include "platform/TextConversion.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace Quillet {
namespace {

// One page with a line on it.
const char kPage[] = "newpath 10 10 moveto 90 90 lineto stroke showpage\n";

// The job's own bytes under the name of page 2: a PNG signature, text and an
// end chunk, written through the output name Ghostscript was given.
const char kForgery[] =
    "/p currentpagedevice /OutputFile get def /n p length 1 sub string def\n"
    "n 0 p 0 p length 8 sub getinterval putinterval n p length 8 sub (002.png) putinterval\n"
    "n (w) file dup <89504E470D0A1A0A> writestring dup (hello) writestring\n"
    "dup <0000000049454E44AE426082> writestring closefile\n";

/// The command lines of this process's children, as every local user reads
/// them in /proc.
std::vector<std::string> ChildCommandLines()
{
    std::vector<std::string> lines;
    for (int pid : QuilletTest::ChildrenOfThisProcess(::getpid(), nullptr)) {
        std::string line = QuilletTest::ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        lines.push_back(line);
    }
    return lines;
}

std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

class HostileJobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access(ToUtf8(GetGhostscriptProgram(GetGhostscriptRoot())).c_str(), X_OK) != 0)
            GTEST_SKIP() << "no Ghostscript";
    }

    /// Renders job into folder (the test's own when empty) with the
    /// settings given; returns the service, not yet released. A job that
    /// begins with "/" is the path of the document; one that begins with
    /// "fifo:" comes through a FIFO, its first part before page 1 is taken,
    /// the rest after midRun.
    IRIPBase* Render(const std::string& job, const std::wstring& folder = std::wstring(),
                     void (*configure)(IRIPBase&) = nullptr,
                     const std::function<void(IRIPBase*)>& midRun = nullptr)
    {
        const bool fifo = job.rfind("fifo:", 0) == 0;
        fs::path file = fifo ? dir / "job.fifo" : job[0] == '/' ? fs::path(job)
                                   : dir / (job.rfind("%PDF", 0) == 0 ? "job.pdf" : "job.ps");
        if (fifo)
            ::mkfifo(file.c_str(), 0600);
        else if (job[0] != '/')
            std::ofstream(file, std::ios::binary) << job;
        IRIPBase* rip = CreateRIPService((fifo ? L"printjobfile=" : L"") + FromUtf8(file.string()));
        rip->SetOutputFolder(folder.empty() ? FromUtf8((dir / "pages").string()) : folder);
        rip->SetOutputFormat(RIP_PNG16M);
        rip->SetResolution(36);
        rip->SetTimeLimit(30);  // what a job whose own bound failed would meet
        if (configure != nullptr)
            configure(*rip);
        EXPECT_TRUE(rip->StartRIP());
        BitmapFile page;
        if (midRun != nullptr) {
            const int writer = fifo ? ::open(file.c_str(), O_WRONLY | O_CLOEXEC) : -1;
            const std::size_t cut = job.find("%%Part\n");
            if (writer >= 0) {
                EXPECT_GT(::write(writer, job.data() + 5, cut - 5), 0);
            }
            if (rip->GetPage(1, page))
                handedOut.push_back(page.GetFilePath());
            midRun(rip);
            if (writer >= 0) {
                EXPECT_GT(::write(writer, job.data() + cut, job.size() - cut), 0);
            }
            ::close(writer);
        }
        for (int n = static_cast<int>(handedOut.size()) + 1; rip->GetPage(n, page); ++n)
            handedOut.push_back(page.GetFilePath());
        if (fifo)
            fs::remove(file);
        return rip;
    }

    static RIPFailure FailureOf(IRIPBase* rip)
    {
        RIPFailure failure;
        GetRIPStatus(rip)->GetLastFailure(failure);
        return failure;
    }

    /// The page files left in folder: exactly the ones handed out (by name:
    /// the folder may have been moved since), readable by the user alone.
    void ExpectOnlyHandedOutPages(const fs::path& folder)
    {
        std::vector<std::string> left, pages;
        for (const auto& entry : fs::directory_iterator(folder)) {
            left.push_back(entry.path().filename().string());
            EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write);
        }
        for (const std::wstring& page : handedOut)
            pages.push_back(fs::path(ToUtf8(page)).filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, pages);
    }

    /// No run's private temporary folder outlived it.
    static void ExpectNoRunFolderLeft()
    {
        const std::string ours = "qvrun-" + std::to_string(::getpid()) + "-";
        for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
            EXPECT_NE(entry.path().filename().string().rfind(ours, 0), 0u) << entry.path();
    }

    const QuilletTest::ScratchFolder scratch{"quillet-hostile"};
    const fs::path dir = scratch.path;
    std::vector<std::wstring> handedOut;
};

TEST_F(HostileJobTest, AJobReachesNothingButItsOwnPages)
{
    // Targets outside the output folder, in the places a job would try:
    // TARGET stands for the row's target in its job and folder.
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/root";
    const std::string tag = "quillet-hostile-" + std::to_string(::getpid());
    const struct {
        const char* what;
        std::string target;
        bool exists;  // the target is there before (and must stay whole) or must not appear
        std::string job;
        std::wstring folder;    // the output folder, relative; empty: the test's own
        int pages;              // what GetPageCount gives
        std::wstring reason;    // the start of the reason, when it is the library's own
    } rows[] = {
        {"deletes a file in /tmp", "/tmp/" + tag, true, "(TARGET) deletefile\n", L"", -1, L""},
        {"deletes in /var/tmp", "/var/tmp/" + tag, true, "(TARGET) deletefile\n", L"", -1, L""},
        {"creates in /dev/shm", "/dev/shm/" + tag, false, "(TARGET) (w) file closefile\n", L"", -1, L""},
        {"creates in the home", home + "/." + tag, false, "(TARGET) (w) file closefile\n", L"", -1, L""},
        {"draws a file of /tmp", "/tmp/" + tag, true,
         "/Courier 8 selectfont 10 50 moveto (TARGET) (r) file 99 string readstring pop show\n", L"", -1, L""},
        {"draws a listing of /tmp", "/tmp/" + tag, true,
         "/Courier 8 selectfont 10 50 moveto (/tmp/*) { show } 99 string filenameforall\n"
         "currentpoint pop 10 gt { nosuchop } if\n",
         L"", 1, L""},
        {"moves its pages to /tmp", "/tmp/" + tag + "_1.png", false,
         "<< /OutputFile (/tmp/" + tag + "_%d.png) >> setpagedevice\n", L"", -1, L""},
        {"runs a command", "/tmp/" + tag, false, "(%pipe%touch TARGET) (w) file closefile\n", L"", -1, L""},
        {"forges page 2", "", false, std::string(kForgery) + kPage + "{ } loop\n", L"", -1,
         L"page 2 is not a well-formed page of the run"},
        {"is given the folder |touch TARGET #", "/tmp/" + tag, false, "", L"|touch TARGET #", 1, L""},
        {"is given the folder %pipe%touch TARGET", "/tmp/" + tag, false, "", L"%pipe%touch TARGET", 1, L""},
    };
    // The relative folders land in the test's folder; the current folder is
    // put back however the test ends.
    struct CurrentFolder {
        explicit CurrentFolder(const fs::path& folder) { fs::current_path(folder); }
        ~CurrentFolder() { fs::current_path(saved); }
        fs::path saved = fs::current_path();
    } current(dir);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        handedOut.clear();
        if (row.exists)
            std::ofstream(row.target) << "secret";
        const std::wstring folder = FromUtf8(Replace(ToUtf8(row.folder), "TARGET", row.target));
        // The forgery names its process's second file, which is page 2 when
        // one process renders every page.
        std::optional<QuilletTest::ScopedEnv> oneProcess;
        if (!row.reason.empty())
            oneProcess.emplace("NUMBER_OF_PROCESSORS", "1");
        IRIPBase* rip = Render("%!PS\n" + Replace(row.job, "TARGET", row.target) + kPage, folder);
        EXPECT_EQ(rip->GetPageCount(), row.pages) << ToUtf8(FailureOf(rip).reason);
        EXPECT_EQ(FailureOf(rip).reason.rfind(row.reason, 0), 0u) << ToUtf8(FailureOf(rip).reason);
        if (!row.target.empty()) {
            EXPECT_EQ(QuilletTest::ReadWholeFile(row.target), row.exists ? "secret" : "");
        }
        EXPECT_EQ(fs::exists(row.target), row.exists);
        ExpectOnlyHandedOutPages(folder.empty() ? dir / "pages" : fs::path(ToUtf8(folder)));
        rip->Release();
        std::error_code ignored;
        fs::remove(row.target, ignored);
        fs::remove_all(dir / "pages");
    }
    ExpectNoRunFolderLeft();
}

/// A PDF of pages pages of width x height points, each holding nothing.
std::string BlankPdf(int pages, int width, int height)
{
    std::string kids, objects;
    for (int n = 0; n < pages; ++n) {
        kids += std::to_string(n + 3) + " 0 R ";
        objects += std::to_string(n + 3) + " 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 " + std::to_string(width) +
                   " " + std::to_string(height) + "]>>endobj\n";
    }
    return "%PDF-1.1\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[" + kids +
           "]/Count " + std::to_string(pages) + ">>endobj\n" + objects + "trailer<</Root 1 0 R>>\n%%EOF\n";
}

TEST_F(HostileJobTest, BoundsStopHostileJobsWithTheirReason)
{
    // Every row ends within seconds by its bound, however long the job would
    // run, write or grow.
    const struct {
        const char* what;
        std::string job;
        void (*configure)(IRIPBase&);
        RIPStage stage;
        std::wstring reason;
    } rows[] = {
        {"an endless loop", std::string("%!PS\n") + kPage + "{ } loop\n", [](IRIPBase& r) { r.SetTimeLimit(1); },
         RIP_STAGE_RENDER, L"the job ran past its time limit of 1 s after "},
        {"a big page", std::string("%!PS\n") + kPage + kPage,
         [](IRIPBase& r) {
             r.SetOutputFormat(RIP_BMP32B);
             r.SetPageSize(4000, 4000);  // 64 MB a page
             r.SetMaxOutputBytes(70 << 20);
         },
         RIP_STAGE_RENDER, L"the job wrote more than its limit of 70 MB after "},
        {"files it removed but holds open",
         "%!PS\n/b 65536 string def\n"
         "/held [ 0 1 39 { pop null (w) .tempfile exch deletefile 0 1 31 { pop dup b writestring } for } for ] def\n"
         "{ } loop\n",
         [](IRIPBase& r) { r.SetMaxOutputBytes(2 << 20); }, RIP_STAGE_RENDER, L"the job wrote more than its limit of 2 MB after 0 pages"},
        // Pages n pixels wide at 36 dpi: no two alike, so none is taken for a copy.
        {"endless tiny pages", "%!PS\n/n 1 def { << /PageSize [n 2 mul 2] >> setpagedevice showpage /n n 1 add def } loop\n",
         [](IRIPBase& r) { r.SetMaxPages(20); }, RIP_STAGE_RENDER, L"the job has more pages than its bound of 20"},
        {"endless pages into one file", "%!PS\n<< /PageSize [1 1] >> setpagedevice { showpage } loop\n",
         [](IRIPBase& r) {
             r.SetOutputFormat(RIP_PSWRITE);
             r.SetMaxPages(20);
         },
         RIP_STAGE_RENDER, L"the job has more pages than its bound of 20"},
        {"a PDF of more pages than the bound", BlankPdf(3, 100, 100), [](IRIPBase& r) { r.SetMaxPages(2); },
         RIP_STAGE_RENDER, L"the document has 3 pages to render, more than its bound of 2"},
        {"a memory grab", "%!PS\n/a [] def { /a [ a 1000000 array ] def } loop\n",
         [](IRIPBase& r) { r.SetMaxMemoryBytes(256 << 20); }, RIP_STAGE_RENDER, L"the job needed more than its memory bound of 256 MB after 0 pages"},
        {"a PDF page of 200x200 inches", BlankPdf(1, 14400, 14400),
         [](IRIPBase& r) { r.SetResolution(150); }, RIP_STAGE_RENDER, L"page 1 is 30000x30000 pixels, more than the bound of 100 million"},
        {"a large page made past the prolog",
         std::string("%!PS\n") + kPage +
             "<< /BeginPage { pop } /PageSize [2000 2000] >> systemdict /setpagedevice get exec " + kPage,
         [](IRIPBase& r) { r.SetMaxPagePixels(500000); }, RIP_STAGE_RENDER,
         L"page 2 is 1000x1000 pixels, more than the bound of 500000"},
        {"a huge resolution", std::string("%!PS\n") + kPage, [](IRIPBase& r) { r.SetResolution(100000); },
         RIP_STAGE_START, L"the resolution 100000 dpi cannot be rendered"},
        {"a resolution past the page bound", std::string("%!PS\n") + kPage,
         [](IRIPBase& r) { r.SetResolution(1200); }, RIP_STAGE_START,
         L"the resolution 1200 dpi cannot be rendered: an A4 or Letter page at it, 10200x14028 pixels, holds more "
         L"than the bound of 100 million pixels a page"},
        {"a huge page size", std::string("%!PS\n") + kPage, [](IRIPBase& r) { r.SetPageSize(1000000, 1000000); },
         RIP_STAGE_START, L"the page size 1000000x1000000 cannot be rendered"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        handedOut.clear();
        IRIPBase* rip = Render(row.job, std::wstring(), row.configure);
        const RIPFailure failure = FailureOf(rip);
        EXPECT_EQ(failure.stage, row.stage);
        EXPECT_EQ(failure.reason.rfind(row.reason, 0), 0u) << ToUtf8(failure.reason);
        EXPECT_EQ(rip->GetPageCount(), -1);
        EXPECT_TRUE(QuilletTest::ChildrenOfThisProcess().empty());
        // Whatever it did not finish is gone, its temporary folder too; what
        // it handed out stays.
        if (fs::exists(dir / "pages"))
            ExpectOnlyHandedOutPages(dir / "pages");
        ExpectNoRunFolderLeft();
        rip->Release();
        fs::remove_all(dir / "pages");
    }
}

TEST_F(HostileJobTest, HostsAndJobsThatWouldReachOrReplaceAnotherUsersPages)
{
    const passwd* other = ::getpwnam("quillet-test");
    if (other == nullptr)
        GTEST_SKIP() << "no user quillet-test (scripts/setup.sh test creates it)";
    const uid_t otherUid = other->pw_uid;
    const gid_t otherGid = other->pw_gid;
    auto folder = [&](const char* name, uid_t owner, gid_t group, mode_t mode) {
        fs::create_directory(dir / name);
        EXPECT_EQ(::chown((dir / name).c_str(), owner, group), 0);
        EXPECT_EQ(::chmod((dir / name).c_str(), mode), 0);
        return dir / name;
    };
    // The default folder goes into a temporary folder every user may write
    // to, as /tmp is.
    ASSERT_EQ(::chmod(dir.c_str(), 01777), 0);
    QuilletTest::ScopedEnv temp("TMPDIR", dir.c_str());
    const fs::path images = dir / ("images-" + std::to_string(::geteuid()));
    const fs::path theirs = folder("theirs", otherUid, otherGid, 0755), open = folder("open", 0, 0, 01777);
    // A document at a path of 4,059 bytes, near the system's limit, and
    // names with blanks, quotes, backslashes, "%" and letters beyond ASCII.
    const std::string odd = " \xC3\xA4\xE6\x97\xA5 50% \\\"q\\ ";
    fs::path longFolder = dir;
    while (longFolder.native().size() < 3800)
        longFolder /= std::string(200, 'd');
    fs::create_directories(longFolder);
    const fs::path pdf =
        longFolder / (odd + std::string(4059 - longFolder.native().size() - 5 - odd.size(), 'p') + ".pdf");
    std::ofstream(dir / "two.ps") << "%!PS\n" << kPage << kPage;
    ASSERT_TRUE(QuilletTest::MakePdf((dir / "two.ps").string(), (dir / "two.pdf").string()));
    fs::rename(dir / "two.pdf", pdf);
    ASSERT_EQ(pdf.native().size(), 4059u);
    std::ofstream(dir / "loop.eps") << "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 100 100\n" << kPage << "{ } loop\n";
    const std::string target = "/tmp/quillet-hostile-pipe-" + std::to_string(::getpid());
    auto used = [&](const fs::path& f) { return L"the output folder " + FromUtf8(f.string()) + L" cannot be used: "; };
    const std::wstring defaultUsed = L"the default output folder cannot be used: the folder " + FromUtf8(images);
    // Mid-run: no path of the run is on a child's command line, which every
    // local user reads.
    auto noPaths = [&](const fs::path& document, const fs::path& out) {
        const std::vector<std::string> lines = ChildCommandLines();
        EXPECT_FALSE(lines.empty());
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find(document.string()), std::string::npos) << line;
            EXPECT_EQ(line.find(out.string()), std::string::npos) << line;
        }
    };
    const fs::path swapped = dir / "swapped";
    const struct {
        const char* what;
        std::function<fs::path()> folder;  // made before the run; empty: the default folder
        std::string job;
        std::function<void(IRIPBase*)> midRun;
        RIPStage stage;
        std::wstring reason;  // its start
        int pages;            // handed out
    } rows[] = {
        {"another user's folder", [&] { return theirs; }, kPage, nullptr, RIP_STAGE_START,
         used(theirs) + L"it belongs to another user (uid " + std::to_wstring(otherUid) + L")", 0},
        {"a folder every user may write", [&] { return open; }, kPage, nullptr, RIP_STAGE_START,
         used(open) + L"every user may write in it", 0},
        {"a folder of a group with other members", [&] { return folder("group", ::geteuid(), otherGid, 0770); },
         kPage, nullptr, RIP_STAGE_START, used(dir / "group") + L"the other members of its group (gid", 0},
        {"their link where the default folder goes",
         [&] {
             fs::create_directory_symlink(theirs, images);
             EXPECT_EQ(::lchown(images.c_str(), otherUid, otherGid), 0);
             return fs::path();
         },
         kPage, nullptr, RIP_STAGE_START, defaultUsed + L" is a symbolic link", 0},
        {"their folder where the default folder goes",
         [&] {
             fs::remove(images);
             fs::create_directory(images);
             EXPECT_EQ(::chown(images.c_str(), otherUid, otherGid), 0);
             return fs::path();
         },
         kPage, nullptr, RIP_STAGE_START, defaultUsed + L" belongs to another user (uid", 0},
        {"the default folder made anew", [&] { return fs::remove(images), fs::path(); }, kPage, nullptr,
         RIP_STAGE_NONE, L"", 1},
        {"a job that sends its pages to a command", [&] { return dir / "pipe"; },
         "%!PS\n<< /OutputFile (%pipe%touch " + target + ") >> setpagedevice\n" + kPage, nullptr,
         RIP_STAGE_RENDER, L"the job tried to redirect its output to \"touch " + FromUtf8(target) + L"\"", 0},
        {"a PDF at a 4 KB path, into folders the run makes", [&] { return dir / ("made" + odd) / "a" / "b"; },
         pdf.string(), nullptr, RIP_STAGE_NONE, L"", 2},
        {"an EPS read while it runs", [&] { return dir / ("eps" + odd); }, (dir / "loop.eps").string(),
         [&](IRIPBase* rip) {
             noPaths(dir / "loop.eps", dir / ("eps" + odd));
             rip->Stop();
         },
         RIP_STAGE_STOP, L"", 1},
        {"a folder swapped for a link mid-run", [&] { return swapped; },
         std::string("fifo:%!PS\n") + kPage + "%%Part\n" + kPage,
         [&](IRIPBase*) {
             noPaths(dir, swapped);
             fs::rename(swapped, dir / "swapped.old");
             fs::create_directory_symlink(open, swapped);
         },
         RIP_STAGE_RENDER, L"the output folder " + FromUtf8(swapped.string()) + L" was replaced while the run went on",
         1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        handedOut.clear();
        const fs::path out = row.folder();
        IRIPBase* rip = Render(row.job, out.empty() ? L"" : FromUtf8(out.string()),
                               out.empty() ? +[](IRIPBase& r) { r.SetOutputFolder(L""); } : nullptr, row.midRun);
        const RIPFailure failure = FailureOf(rip);
        EXPECT_EQ(failure.stage, row.stage) << ToUtf8(failure.reason);
        EXPECT_EQ(failure.reason.rfind(row.reason, 0), 0u) << ToUtf8(failure.reason);
        EXPECT_EQ(handedOut.size(), static_cast<std::size_t>(row.pages));
        EXPECT_FALSE(fs::exists(target));
        // Left on disk: the pages handed out, the user's alone, in the folder
        // the run began in (0700 when the run made it); nothing anywhere else.
        const fs::path began = out.empty() ? images : fs::is_symlink(out) ? dir / "swapped.old" : out;
        ExpectOnlyHandedOutPages(began);
        for (fs::path made = began; row.stage != RIP_STAGE_START && made != dir; made = made.parent_path())
            EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all) << made;
        EXPECT_TRUE(fs::is_empty(open) && fs::is_empty(theirs));
        rip->Release();
    }
}

}  // namespace
}  // namespace Quillet
