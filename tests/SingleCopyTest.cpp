// Tests of gs/lib/single_copy.ps run by the real Ghostscript: one copy of every
// page, and the Copies/Collate/Orientation header, behind the run's tag, on
// standard output before the first page is out.
#include "support/Files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

struct GsResult {
    std::string output;  // standard output, without the exit line
    int exitCode = -1;
    int pageFiles = 0;
};

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

/// Runs a shell command and returns its standard output; the command ends with
/// "echo EXIT=$?" so that the exit code comes with it.
GsResult RunShell(const std::string& command, const fs::path& pageFolder)
{
    GsResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    pclose(pipe);
    const std::size_t exitLine = result.output.rfind("EXIT=");
    if (exitLine != std::string::npos) {
        result.exitCode = std::atoi(result.output.c_str() + exitLine + 5);
        result.output.erase(exitLine);
    }
    for (const auto& entry : fs::directory_iterator(pageFolder))
        if (entry.path().extension() == ".png")
            ++result.pageFiles;
    return result;
}

/// The Ghostscript switches the engine uses, with the source tree's prolog
/// and the job on standard input.
std::string GsCommand(const fs::path& folder)
{
    return "GS_LIB=" + Quote(fs::path(QUILLET_SOURCE_DIR) / "gs" / "lib") +
           " gs -dSAFER -dSTRICT -dTextAlphaBits=1 -dGraphicsAlphaBits=2 -r20 -sDEVICE=png16m -o " +
           Quote(folder / "page_%03d.png") + " single_copy.ps -_ 2>/dev/null";
}

/// The line the engine writes ahead of every job.
const std::string kTagLine = "%QuilletRun 0123abcd\n";

/// Runs job behind the tag line (without it when untagged).
GsResult RunJob(const std::string& job, bool untagged = false)
{
    QuilletTest::ScratchFolder scratch("quillet-single-copy");
    const fs::path folder = scratch.path;
    QuilletTest::WriteWholeFile(folder / "job.ps", (untagged ? "" : kTagLine) + job);
    return RunShell(GsCommand(folder) + " < " + Quote(folder / "job.ps") +
                        "; echo EXIT=$?",
                    folder);
}

/// The value of key in the header line (the one that begins with the tag);
/// -1 when there is none.
long HeaderValue(const std::string& output, const std::string& key)
{
    const std::size_t line = output.find("\n" + kTagLine.substr(0, kTagLine.size() - 1) + " ");
    const std::size_t at = line == std::string::npos ? line : output.find(key + "=", line);
    if (at == std::string::npos || output.find('\n', line + 1) < at)
        return -1;
    return std::strtol(output.c_str() + at + key.size() + 1, nullptr, 10);
}

const char* const kPage = "72 72 moveto 300 400 lineto stroke showpage\n";

std::string Pages(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += kPage;
    return text;
}

}  // namespace

TEST(SingleCopyTest, RequestsAreReportedOnceAndEveryPageRenderedOnce)
{
    struct Case {
        std::string job;
        int pages;
        long copies, collate, orientation;  // -1: not looked at
    };
    const std::string page = kPage;
    const Case cases[] = {
        {"<< /NumCopies 3 >> setpagedevice\n" + Pages(2), 2, 3, -1, 1},
        {"/#copies 2 def\n" + Pages(3), 3, 2, -1, -1},
        // NumCopies null hands the count back to #copies, which showpage would use.
        {"<< /NumCopies null >> setpagedevice /#copies 4 def\n" + Pages(1), 1, 4, -1, -1},
        // copypage makes no page of its own: the marks go out with the showpage.
        {"72 72 moveto 300 300 lineto stroke copypage copypage showpage\n", 1, -1, -1, -1},
        // A request made inside save/restore is still the job's request.
        {"save << /NumCopies 5 >> setpagedevice " + page + "restore " + page, 2, 5, -1, -1},
        {"<< /Collate true /NumCopies 2 >> setpagedevice\n" + Pages(2), 2, 2, 1, -1},
        {"<< /Collate false /NumCopies 2 >> setpagedevice\n" + Pages(1), 1, 2, 0, -1},
        // Orientation of the page as it comes out: the page shape turned by
        // the request; the page device at the first page counts. The job's
        // own text is no header.
        {"<< /Orientation 1 >> setpagedevice\n" + page, 1, -1, -1, 2},
        {"<< /Orientation 2 >> setpagedevice\n" + page, 1, -1, -1, 3},
        {"(Orientation=Landscape; Copies=9;) print << /PageSize [842 595] >> setpagedevice\n" + page,
         1, 1, -1, 2},
        {"<< /PageSize [842 595] /Orientation 0 >> setpagedevice\n" + page, 1, -1, -1, 2},
        {"<< /PageSize [595 842] >> setpagedevice\n" + page, 1, -1, -1, 1},
        {"<< /Orientation 3 >> setpagedevice << /PageSize [300 200] >> setpagedevice " + page +
             "<< /Orientation 0 >> setpagedevice " + page,
         2, -1, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.job);
        const GsResult result = RunJob(c.job);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.pageFiles, c.pages);
        for (const auto& [key, value] : {std::pair<const char*, long>{"Copies", c.copies},
                                         {"Collate", c.collate}, {"Orientation", c.orientation}}) {
            if (value >= 0) {
                EXPECT_EQ(HeaderValue(result.output, key), value) << key;
            }
        }
        // One header; every transferred page is said once: its number in the
        // job, the files before it.
        const std::string tag = kTagLine.substr(0, kTagLine.size() - 1);
        EXPECT_EQ(QuilletTest::CountOf(result.output, tag + " Copies="), 1u);
        EXPECT_EQ(QuilletTest::CountOf(result.output, tag + " Page="), static_cast<std::size_t>(c.pages));
        for (int n = 1; n <= c.pages; ++n)
            EXPECT_EQ(QuilletTest::CountOf(result.output, tag + " Page=" + std::to_string(n) + ";Files=" +
                                                              std::to_string(n - 1) + ";\n"), 1u) << n;
    }
}

TEST(SingleCopyTest, JobsOwnEndPageStillDecides)
{
    // The job's EndPage runs for every showpage and may refuse a page; copypage
    // is refused whatever it says.
    GsResult result = RunJob("<< /EndPage { dup 0 eq { (EP) print } if exch pop 0 eq } >> setpagedevice\n"
                             "showpage copypage showpage\n"
                             "<< /EndPage { pop pop false } >> setpagedevice showpage\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.pageFiles, 2);
    EXPECT_EQ(QuilletTest::CountOf(result.output, "EP"), 2u);
    EXPECT_EQ(HeaderValue(result.output, "Orientation"), 1);
}

TEST(SingleCopyTest, ErrorsOfTheJobAreNotMasked)
{
    GsResult failed = RunJob(std::string(kPage) + "nosuchoperator\n" + kPage);
    EXPECT_NE(failed.exitCode, 0);
    EXPECT_EQ(failed.pageFiles, 1);
    EXPECT_EQ(HeaderValue(failed.output, "Orientation"), 1);

    EXPECT_NE(RunJob("(text) setpagedevice\n").exitCode, 0);
    EXPECT_NE(RunJob("<< /NumCopies 2 >> setpagedevice 1 0 div\n" + Pages(1)).exitCode, 0);
}

TEST(SingleCopyTest, TheTagStaysOutOfTheJobsReach)
{
    // The job looks for the tag where it could reach it: the procedures the
    // prolog left behind, its own EndPage's execution stack, and a second
    // read of the input; the one hit is its own array, which shows that the
    // look works. Without a tag line, a job gets no header, and its first
    // line is run all the same.
    const GsResult probe = RunJob(
        "/hits 0 def /tag (0123abcd) def\n"
        "/look { dup type /stringtype eq { dup rcheck { tag search { pop pop pop /hits hits 1 add def }"
        " { pop } ifelse } { pop } ifelse } { dup type /arraytype eq { dup rcheck { { look } forall }"
        " { pop } ifelse } { pop } ifelse } ifelse } def\n"
        "[ (x0123abcdx) ] look /setpagedevice load look currentpagedevice /EndPage get look\n"
        "<< /EndPage { 100 array execstack { look } forall exch pop 0 eq } >> setpagedevice\n"
        "/final { (%stdin) (r) file 100 string readstring pop look (hits=) print hits = } def\n" +
        std::string(kPage) + "final\n");
    EXPECT_EQ(probe.exitCode, 0);
    EXPECT_NE(probe.output.find("hits=1"), std::string::npos) << probe.output;

    const GsResult untagged = RunJob("(first line) print\n" + std::string(kPage), true);
    EXPECT_EQ(untagged.output.substr(untagged.output.rfind('\n') + 1), "first line");
    EXPECT_EQ(untagged.output.find("Copies="), std::string::npos);
    EXPECT_EQ(untagged.pageFiles, 1);
}

TEST(SingleCopyTest, HeaderIsWrittenBeforeTheFirstPageAndFlushed)
{
    // The job streams in two parts; the second is held back until the header
    // has been read, so the header must come out while Ghostscript still waits
    // for the rest of the job. Padding after the first page fills Ghostscript's
    // input buffer. A bounded wait keeps a fault from hanging the test.
    QuilletTest::ScratchFolder scratch("quillet-single-copy");
    const fs::path folder = scratch.path;
    std::string first = kTagLine + "<< /NumCopies 2 >> setpagedevice " + std::string(kPage);
    for (int i = 0; i < 4096; ++i)
        first += "% padding to fill the interpreter's input buffer ..............\n";
    QuilletTest::WriteWholeFile(folder / "first.ps", first);
    QuilletTest::WriteWholeFile(folder / "second.ps", Pages(2) + "(END) print flush\n");
    const fs::path gate = folder / "gate";
    const fs::path late = folder / "late";
    const std::string feeder =
        "( cat " + Quote(folder / "first.ps") + "; i=0; while [ ! -e " + Quote(gate) +
        " ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done; [ -e " + Quote(gate) +
        " ] || : > " + Quote(late) + "; cat " + Quote(folder / "second.ps") + " )";
    const std::string command =
        feeder + " | " + GsCommand(folder) + "; echo EXIT=$?";

    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        output += line;
        if (output.find("Orientation=") != std::string::npos && !fs::exists(gate))
            QuilletTest::WriteWholeFile(gate, "");
    }
    pclose(pipe);
    EXPECT_FALSE(fs::exists(late)) << "the header came only after the whole job: " << output;
    EXPECT_EQ(HeaderValue(output, "Copies"), 2);
    EXPECT_LT(output.find("Orientation="), output.find("END"));
    EXPECT_NE(output.find("EXIT=0"), std::string::npos);
}
