// Output formats, page names, FormatString and the Ghostscript command line,
// compared entry by entry; the line is also split as the child will see it.
#include "engine/GhostscriptArgs.h"
#include "engine/OutputFormats.h"
#include "engine/PagePlan.h"
#include "engine/PageProof.h"
#include "engine/RIPEngine.h"
#include "platform/CommandLine.h"
#include "platform/FileHandle.h"
#include "platform/Pipe.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "settings/InstallSettings.h"
#include "support/ScopedEnv.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace Quillet {
namespace {

using Args = std::vector<std::wstring>;

/// Sets NUMBER_OF_PROCESSORS for one test and puts the old value back.
/// Tests run one at a time and no engine thread reads the environment.
struct ProcessorVariable : QuilletTest::ScopedEnv {
    explicit ProcessorVariable(const char* value) : ScopedEnv("NUMBER_OF_PROCESSORS", value) {}
};

class GhostscriptArgsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine = static_cast<RIPEngine*>(CreateRIPService(L"/docs/job.ps"));
        engine->SetOutputFolder(L"/out dir/pages");
    }
    void TearDown() override { engine->Release(); }

    Args Build()
    {
        Args args;
        engine->BuildGhostscriptArgs(args);
        return args;
    }

    RIPEngine* engine = nullptr;
};

TEST(OutputFormatsTest, DeviceAndExtensionOfEveryFormat)
{
    const wchar_t* devices[] = {L"bmp32b",   L"bmpgray",  L"png256",   L"pngalpha",
                                L"pnggray",  L"jpeg",     L"jpeggray", L"tiff32nc",
                                L"tiffg32d", L"png16m",   L"ijs",      L"ps2write"};
    const wchar_t* extensions[] = {L"bmp", L"bmp", L"png",  L"png", L"png", L"jpeg",
                                   L"jpeg", L"tiff", L"tiff", L"png", L"pcl", L"ps"};
    for (int f = 0; f < 12; ++f) {
        EXPECT_EQ(GetDeviceName(static_cast<RIPFormat>(f)), devices[f]) << f;
        EXPECT_EQ(GetFileExtension(static_cast<RIPFormat>(f)), extensions[f]) << f;
    }
    for (int f : {12, -1, 1000}) {
        EXPECT_EQ(GetDeviceName(static_cast<RIPFormat>(f)), L"bmp32b");
        EXPECT_EQ(GetFileExtension(static_cast<RIPFormat>(f)), L"bmp");
    }
}

TEST(OutputFormatsTest, FormatString)
{
    std::wstring out = L"old";
    FormatString(out, L"");
    EXPECT_EQ(out, L"");
    FormatString(out, L"p_%03d.png", 1);
    EXPECT_EQ(out, L"p_001.png");
    FormatString(out, L"p_%03d.png", 999);
    EXPECT_EQ(out, L"p_999.png");
    FormatString(out, L"p_%03d.png", 1234);
    EXPECT_EQ(out, L"p_1234.png");
    FormatString(out, L"\u00e4\u65e5 %ls %i", L"\u20ac x", -7);
    EXPECT_EQ(out, L"\u00e4\u65e5 \u20ac x -7");
    // Longer than any first guess of the buffer.
    const std::wstring longText(5000, L'z');
    FormatString(out, L"%ls!", longText.c_str());
    EXPECT_EQ(out, longText + L"!");
    EXPECT_EQ(EscapePercent(L"a%b%%"), L"a%%b%%%%");
}

TEST_F(GhostscriptArgsTest, OutputDirectoryAndPagePattern)
{
    // The default is the user's own folder; a relative folder is made
    // absolute, so that no "|", "%" or "-" ever begins the output name.
    engine->SetOutputFolder(L"");
    std::wstring temp;
    ZBaseStorage::TempDirPath(temp);
    EXPECT_EQ(engine->GetOutputDirectory(), temp + L"images-" + std::to_wstring(::geteuid()) + L"/");
    engine->SetOutputFolder(L"/a/b");
    EXPECT_EQ(engine->GetOutputDirectory(), L"/a/b/");
    engine->SetOutputFolder(L"/a/b/");
    EXPECT_EQ(engine->GetOutputDirectory(), L"/a/b/");
    std::wstring current = L"x";
    ASSERT_TRUE(ZBaseStorage::MakeAbsolute(current));
    current.pop_back();
    for (const std::wstring relative : {L"C:\\a\\", L"|touch x #", L"%pipe%cmd", L"-sOther"}) {
        engine->SetOutputFolder(relative);
        EXPECT_EQ(engine->GetOutputDirectory(), current + relative + (relative[1] == L':' ? L"" : L"/"));
    }

    // The pattern: folder, prefix, "_%03d.", extension; a "%" in the folder
    // is doubled so that formatting gives the folder back.
    engine->SetOutputFolder(L"/tmp/q 100%");
    engine->SetOutputFormat(RIP_JPEG);
    const std::wstring pattern = engine->GetPagePattern();
    ASSERT_EQ(pattern.rfind(L"/tmp/q 100%%/", 0), 0u);
    EXPECT_EQ(pattern.substr(pattern.size() - 10), L"_%03d.jpeg");
    std::wstring page;
    FormatString(page, pattern.c_str(), 7);
    EXPECT_EQ(page.rfind(L"/tmp/q 100%/", 0), 0u);
    EXPECT_EQ(page.substr(page.size() - 9), L"_007.jpeg");
    EXPECT_GT(page.size(), std::wstring(L"/tmp/q 100%/_007.jpeg").size());

    // Each new run takes the folder and format set at its start.
    engine->SetOutputFolder(L"/elsewhere");
    engine->SetOutputFormat(RIP_BMP32B);
    EXPECT_EQ(engine->GetPagePattern(), pattern);
    const std::wstring next = engine->NewPagePattern();
    EXPECT_EQ(next.rfind(L"/elsewhere/", 0), 0u);
    EXPECT_EQ(next.substr(next.size() - 9), L"_%03d.bmp");
}

TEST_F(GhostscriptArgsTest, WorkedExampleOfANewService)
{
    ProcessorVariable processors("4");
    engine->SetOutputFolder(L"/out/pages");
    const std::wstring pattern = engine->GetPagePattern();
    const Args expected = {L"-dSAFER",
                           L"-dSTRICT",
                           L"-dTextAlphaBits=1",
                           L"-dGraphicsAlphaBits=2",
                           L"-sDEVICE=pngalpha",
                           L"-dNumRenderingThreads=4",
                           L"-o \"" + pattern + L"\"",
                           L"single_copy.ps",
                           L"-_"};
    const Args args = Build();
    EXPECT_EQ(args, expected);

    // A process of a shared run: its page switches before its own output
    // name, and the threads it may use.
    std::size_t outputAt = 0;
    Args again;
    engine->BuildGhostscriptArgs(again, outputAt);
    Args own = expected;
    own[5] = L"-dNumRenderingThreads=2";
    own[6] = L"-sPageList=odd:1-";
    own.insert(own.begin() + 7, L"-o \"/out/pages/qvw1_%03d.png\"");
    EXPECT_EQ(GetWorkerArgs(args, outputAt, {L"-sPageList=odd:1-"}, L"/out/pages/qvw1_%03d.png", 2), own);
    own.erase(own.begin() + 5);
    own[6] = L"-o \"" + pattern + L"\"";
    EXPECT_EQ(GetWorkerArgs(args, outputAt, {L"-sPageList=odd:1-"}, L"", 1), own);

    // Joined behind the quoted program and split as the child receives it:
    // the output name arrives as one argument.
    const std::wstring line = BuildCommandLine(L"/opt/q/gs/bin/gs", args);
    EXPECT_EQ(line.rfind(L"\"/opt/q/gs/bin/gs\" -dSAFER -dSTRICT ", 0), 0u);
    const Args argv = Platform::SplitCommandLine(line);
    ASSERT_EQ(argv.size(), 11u);
    EXPECT_EQ(argv[0], L"/opt/q/gs/bin/gs");
    EXPECT_EQ(argv[7], L"-o");
    EXPECT_EQ(argv[8], pattern);
    EXPECT_EQ(argv[10], L"-_");
}

TEST_F(GhostscriptArgsTest, SizeResolutionAndProcessorSwitches)
{
    ProcessorVariable processors("1");
    auto has = [&](const std::wstring& entry) {
        const Args args = Build();
        return std::find(args.begin(), args.end(), entry) != args.end();
    };
    auto startsWith = [&](const std::wstring& prefix) {
        for (const std::wstring& arg : Build())
            if (arg.rfind(prefix, 0) == 0)
                return true;
        return false;
    };
    EXPECT_FALSE(startsWith(L"-g"));
    engine->SetPageSize(0, 100);
    EXPECT_FALSE(startsWith(L"-g"));
    engine->SetPageSize(100, -1);
    EXPECT_FALSE(startsWith(L"-g"));
    engine->SetPageSize(1, 1);
    EXPECT_TRUE(has(L"-g1x1"));
    engine->SetPageSize(2480, 3508);
    engine->SetResolution(0);
    EXPECT_FALSE(startsWith(L"-r"));
    engine->SetResolution(-5);
    EXPECT_FALSE(startsWith(L"-r"));
    engine->SetResolution(300);
    // The switches of steps 4 to 10 follow each other in one order.
    Args args = Build();
    EXPECT_EQ(Args(args.begin() + 4, args.begin() + 7),
              (Args{L"-g2480x3508", L"-r300", L"-sDEVICE=pngalpha"}));

    EXPECT_FALSE(startsWith(L"-dNumRenderingThreads"));
    {
        ProcessorVariable text("many");
        EXPECT_FALSE(startsWith(L"-dNumRenderingThreads"));
    }
    {
        ProcessorVariable sixteen("16");
        EXPECT_TRUE(has(L"-dNumRenderingThreads=16"));
    }
    {
        ProcessorVariable unset(nullptr);
        EXPECT_EQ(GetProcessorCount(), ZUtilities::GetOnlineProcessorCount());
    }

    engine->SetUseCIEColor(true);
    args = Build();
    EXPECT_EQ(args[7], L"-dUseCIEColor");
}

TEST_F(GhostscriptArgsTest, IjsAndPostScriptFormats)
{
    ProcessorVariable processors("8");
    engine->SetOutputFormat(RIP_IJS);
    Args args = Build();
    const std::wstring server = L"-sIjsServer=\"" + GetIjsServerPath() + L"\"";
    ASSERT_EQ(args.size(), 11u);
    EXPECT_EQ(Args(args.begin() + 4, args.begin() + 9),
              (Args{L"-sDEVICE=ijs", server, L"-sDeviceManufacturer=\"QV\"",
                    L"-sDeviceModel=\"GenericVIP\"", args[8]}));
    // One output file, named like page 1.
    EXPECT_EQ(args[8].rfind(L"-o \"/out dir/pages/", 0), 0u);
    EXPECT_EQ(args[8].substr(args[8].size() - 9), L"_001.pcl\"");

    engine->SetIJSModel(L"Maker Inc", L"Model \"7\"");
    engine->SetIJSParams(L"Dither=on");
    args = Build();
    ASSERT_EQ(args.size(), 12u);
    EXPECT_EQ(args[8], L"-sIjsParams=\"Dither=on\"");
    // Split as the child sees them: unquoted, each whole.
    const Args argv = Platform::SplitCommandLine(BuildCommandLine(L"gs", args));
    EXPECT_EQ(argv[6], L"-sIjsServer=" + GetIjsServerPath());
    EXPECT_EQ(argv[7], L"-sDeviceManufacturer=Maker Inc");
    EXPECT_EQ(argv[8], L"-sDeviceModel=Model \"7\"");
    EXPECT_EQ(argv[9], L"-sIjsParams=Dither=on");

    // PostScript: no anti-aliasing, rendering threads, one file; its name
    // keeps the extension of the pattern the engine built first.
    engine->SetOutputFormat(RIP_PSWRITE);
    args = Build();
    EXPECT_EQ(Args(args.begin(), args.begin() + 4),
              (Args{L"-dSAFER", L"-dSTRICT", L"-sDEVICE=ps2write", L"-dNumRenderingThreads=8"}));
    EXPECT_EQ(args[4].substr(args[4].size() - 9), L"_001.pcl\"");
    RIPEngine* fresh = static_cast<RIPEngine*>(CreateRIPService(L"/docs/job.ps"));
    fresh->SetOutputFormat(RIP_PSWRITE);
    Args freshArgs;
    fresh->BuildGhostscriptArgs(freshArgs);
    EXPECT_EQ(freshArgs[4].substr(freshArgs[4].size() - 8), L"_001.ps\"");
    fresh->Release();
}

TEST_F(GhostscriptArgsTest, FontsAndSplitMerge)
{
    ProcessorVariable processors("1");
    engine->SetUseTTFont(true);
    const std::wstring fonts = InstallSettings::Instance().GetFontsFolder();
    Args args = Build();
    if (fonts.empty()) {
        EXPECT_EQ(args.size(), 8u);
    } else {
        ASSERT_EQ(args.size(), 9u);
        EXPECT_EQ(args[5], L"-sFONTPATH=\"" + fonts + L"\"");
        EXPECT_EQ(Platform::SplitCommandLine(BuildCommandLine(L"gs", args))[6],
                  L"-sFONTPATH=" + fonts);
    }

    // The custom parameters replace the output switch and single_copy.ps,
    // even when empty.
    engine->SetUseTTFont(false);
    engine->SetIsSplitMerge(true);
    args = Build();
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[5], L"");
    EXPECT_EQ(args[6], L"-_");
    const std::wstring line = BuildCommandLine(L"gs", args);
    EXPECT_EQ(line.substr(line.size() - 4), L"  -_");
    engine->SetCustomParams(L"-sOutputFile=\"/x y/%d.png\" -dFirstPage=2");
    const Args argv = Platform::SplitCommandLine(BuildCommandLine(L"gs", Build()));
    ASSERT_EQ(argv.size(), 9u);
    EXPECT_EQ(argv[6], L"-sOutputFile=/x y/%d.png");
    EXPECT_EQ(argv[7], L"-dFirstPage=2");
}

TEST(PagePlanTest, EachPageHasOneProcessAndOneFileOfIt)
{
    using Kind = PagePlan::Kind;
    const struct {
        PagePlan plan;
        std::vector<Args> switches;  // each worker's
        std::vector<std::pair<int, int>> places;  // (worker, file) of the run's pages 1, 2, ...
    } rows[] = {
        {PagePlan(Kind::Interleaved, 1, 0, 2, 0), {{L"-sPageList=odd:1-"}, {L"-sPageList=even:2-"}},
         {{0, 1}, {1, 1}, {0, 2}, {1, 2}, {0, 3}}},
        {PagePlan(Kind::Interleaved, 4, 9, 2, 0), {{L"-sPageList=even:4-9"}, {L"-sPageList=odd:5-9"}},
         {{0, 1}, {1, 1}, {0, 2}, {1, 2}, {0, 3}, {1, 3}}},
        // Never more workers than pages left; one below the pages worth sharing.
        {PagePlan(Kind::Interleaved, 2, 4, 8, 0), {{L"-sPageList=2"}, {L"-sPageList=3"}, {L"-sPageList=4"}},
         {{0, 1}, {1, 1}, {2, 1}}},
        // A declared count only says how many workers: the lists stay open.
        {PagePlan(Kind::Interleaved, 1, 0, 8, 3),
         {{L"-sPageList=1,4,7,10,"}, {L"-sPageList=2,5,8,11,"}, {L"-sPageList=3,6,9,12,"}},
         {{0, 1}, {1, 1}, {2, 1}, {0, 2}}},
        {PagePlan(Kind::Interleaved, 1, 0, 8, 1), {{}}, {{0, 1}, {0, 2}}},
        {PagePlan(Kind::Interleaved, 3, 0, 8, 3), {{L"-sPageList=3-"}}, {{0, 1}, {0, 2}}},
        {PagePlan(Kind::Interleaved, 5, 5, 2, 0), {{L"-sPageList=5-5"}}, {{0, 1}}},
        {PagePlan(Kind::Ranges, 1, 0, 2, 0), {{}}, {{0, 1}, {0, 2}, {0, 3}}},
        {PagePlan(Kind::Ranges, 3, 6, 2, 0), {{L"-dFirstPage=3", L"-dLastPage=6"}},
         {{0, 1}, {0, 2}, {0, 3}, {0, 4}}},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(row.plan.GetWorkerCount(), static_cast<std::int32_t>(row.switches.size()));
        for (std::size_t w = 0; w < row.switches.size(); ++w) {
            Args switches = row.plan.GetPageSwitches(static_cast<std::int32_t>(w));
            if (!switches.empty() && switches[0].size() > 20)
                switches[0].erase(20);  // long lists compared by their start
            EXPECT_EQ(switches, row.switches[w]) << w;
        }
        for (std::size_t k = 0; k < row.places.size(); ++k) {
            std::int32_t worker = -1, index = -1;
            EXPECT_TRUE(row.plan.Locate(static_cast<std::int32_t>(k + 1), worker, index));
            EXPECT_EQ(std::make_pair(worker, index), row.places[k]) << k + 1;
        }
    }

    // More than two workers of an open range list the pages that fit a
    // switch; the pages beyond are worker 0's, counted on after its list.
    PagePlan many(PagePlan::Kind::Interleaved, 1, 0, 3, 0);
    const Args list = many.GetPageSwitches(0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_LT(list[0].size(), 2000u);
    const std::size_t comma = list[0].rfind(L',');
    const std::int32_t tail = std::stoi(list[0].substr(comma + 1));
    EXPECT_EQ(list[0].substr(list[0].size() - 1), L"-");
    std::int32_t worker = -1, index = -1;
    EXPECT_TRUE(many.Locate(tail, worker, index));
    EXPECT_EQ(std::make_pair(worker, index), std::make_pair(0, (tail - 1) / 3 + 1));
    EXPECT_TRUE(many.Locate(tail + 5, worker, index));
    EXPECT_EQ(std::make_pair(worker, index), std::make_pair(0, (tail - 1) / 3 + 6));
    const Args last = many.GetPageSwitches(2);
    EXPECT_LT(std::stoi(last[0].substr(last[0].rfind(L',') + 1)), tail);

    // A PDF's range is cut once its page count is known; the last part keeps
    // the range's end, and worker 0 ends after its own part.
    PagePlan pdf(PagePlan::Kind::Ranges, 1, 0, 3, 0);
    EXPECT_FALSE(pdf.SetPageSpan(1, 2, 3));  // two pages: stay with one process
    PagePlan pdf10(PagePlan::Kind::Ranges, 1, 0, 3, 0);
    EXPECT_TRUE(pdf10.SetPageSpan(1, 10, 3));
    EXPECT_FALSE(pdf10.SetPageSpan(1, 20, 3));
    EXPECT_EQ(pdf10.GetWorkerCount(), 3);
    EXPECT_EQ(pdf10.GetPageSwitches(1), (Args{L"-dFirstPage=5", L"-dLastPage=8"}));
    EXPECT_EQ(pdf10.GetPageSwitches(2), (Args{L"-dFirstPage=9"}));
    EXPECT_EQ(pdf10.GetLastPageOf(0), 4);
    EXPECT_EQ(pdf10.GetLastPageOf(2), 0);
    EXPECT_TRUE(pdf10.Locate(9, worker, index));
    EXPECT_EQ(std::make_pair(worker, index), std::make_pair(2, 1));
    PagePlan range(PagePlan::Kind::Ranges, 3, 6, 2, 0);
    EXPECT_TRUE(range.SetPageSpan(3, 6, 2));
    EXPECT_EQ(range.GetPageSwitches(1), (Args{L"-dFirstPage=5", L"-dLastPage=6"}));
    EXPECT_FALSE(range.Locate(5, worker, index));  // past the range
}

TEST(PagePlanTest, DeclaredPageCountOfAJobFile)
{
    char pattern[] = "/tmp/quillet-declared-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string file = std::string(pattern) + "/job.ps";
    const std::string padding(5000, '%');
    const struct {
        std::string text;
        std::int32_t pages;
    } rows[] = {
        {"%!PS-Adobe-3.0\n%%Pages: 12\n%%EndComments\n", 12},
        {"%!PS-Adobe-3.0\n%%Pages: (atend)\n" + padding + "\n%%Trailer\n%%Pages: 7\n%%EOF\n", 7},
        {"%!PS-Adobe-3.0\n%%Pages: (atend)\n%%Trailer\n%%Pages: 3\n", 3},
        {"%!PS\n(%%Pages: 9) show\n", 0},
        {"%!PS\nshowpage\n", 0},
    };
    for (const auto& row : rows) {
        std::ofstream(file) << row.text;
        Platform::UniqueHandle handle(Platform::OpenForReading(FromUtf8(file)));
        EXPECT_EQ(ReadDeclaredPageCount(handle.Get()), row.pages) << row.text.substr(0, 40);
    }
    // A pipe cannot be looked at ahead.
    Platform::PipePair pipe;
    ASSERT_TRUE(Platform::CreatePipe(pipe));
    EXPECT_EQ(ReadDeclaredPageCount(pipe.read.Get()), 0);
    std::remove(file.c_str());
    ::rmdir(pattern);
}

TEST(PageProofTest, PagesArePlacedByWhatTheProcessesSayOfTheirFiles)
{
    // Events: 'L' worker page files: worker said the page after that many
    // files; 'F' worker index: its file index was there before its output
    // was read; 'E' worker: it ended. Then, for the job's pages 1, 2, ...,
    // where each is: (worker, file), or -1 NotYet, -2 Lost, -3 Absent.
    using State = PageProof::State;
    struct Event {
        char kind;
        std::size_t worker;
        std::int32_t a, b;
    };
    const struct {
        const char* name;
        std::vector<Event> events;
        std::vector<std::pair<int, int>> places;
        bool planBroken, idleSecond;
    } rows[] = {
        {"lists kept: odd and even, a job of two pages",
         {{'L', 0, 1, 0}, {'L', 1, 1, 0}, {'L', 1, 2, 0}, {'F', 0, 1, 0}, {'L', 0, 2, 1}, {'E', 0, 0, 0},
          {'F', 1, 1, 0}, {'E', 1, 0, 0}},
         {{0, 1}, {1, 1}, {-3, 0}}, false, false},
        {"lists defeated: the first process makes every page, the second none",
         {{'L', 0, 1, 0}, {'L', 0, 2, 1}, {'L', 0, 3, 2}, {'L', 1, 1, 0}, {'L', 1, 2, 0}, {'L', 1, 3, 0},
          {'E', 1, 0, 0}, {'F', 0, 3, 0}},
         {{0, 1}, {0, 2}, {0, 3}, {-1, 0}}, true, true},
        {"a page nobody made is lost once every process passed it",
         {{'L', 0, 1, 0}, {'F', 0, 1, 0}, {'L', 0, 2, 1}, {'L', 0, 3, 1}, {'L', 1, 1, 0}, {'L', 1, 2, 0}},
         {{0, 1}, {-1, 0}}, false, false},
        {"... and then it is",
         {{'L', 0, 1, 0}, {'F', 0, 1, 0}, {'L', 0, 2, 1}, {'L', 0, 3, 1}, {'L', 1, 1, 0}, {'L', 1, 2, 0},
          {'L', 1, 3, 0}},
         {{0, 1}, {-2, 0}}, true, false},
        {"a file seen for a page already passed places the later page",
         {{'L', 0, 1, 0}, {'L', 0, 2, 0}, {'F', 0, 1, 0}, {'E', 0, 0, 0}},
         {{-2, 0}, {0, 1}}, true, false},
        {"files nobody said (a count that jumps) place nothing",
         {{'L', 0, 1, 0}, {'L', 0, 2, 3}, {'E', 0, 0, 0}},
         {{-2, 0}, {-2, 0}, {-3, 0}}, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::size_t workers = 0;
        for (const Event& e : row.events)
            workers = std::max(workers, e.worker + 1);
        PageProof proof("%QuilletRun 0f", workers);
        proof.SetShare([workers](std::size_t w, std::int32_t page) {
            return w == static_cast<std::size_t>(page - 1) % workers;  // odd and even
        });
        for (const Event& e : row.events) {
            if (e.kind == 'L') {
                const std::string line = "%QuilletRun 0f Page=" + std::to_string(e.a) + ";Files=" +
                                         std::to_string(e.b) + ";\n";
                proof.Scan(e.worker, line.data(), line.size());
            } else if (e.kind == 'F') {
                EXPECT_EQ(proof.GetPendingFile(e.worker), e.a);
                proof.NoteFile(e.worker, e.a);
            } else {
                proof.NoteEnd(e.worker);
            }
        }
        for (std::size_t n = 0; n < row.places.size(); ++n) {
            const PageProof::Place place = proof.Find(static_cast<std::int32_t>(n + 1));
            const int expected = row.places[n].first;
            const State state = expected >= 0 ? State::Made
                                : expected == -1 ? State::NotYet
                                : expected == -2 ? State::Lost
                                                 : State::Absent;
            EXPECT_EQ(static_cast<int>(place.state), static_cast<int>(state)) << "page " << n + 1;
            if (expected >= 0) {
                EXPECT_EQ(std::make_pair(static_cast<int>(place.worker), static_cast<int>(place.index)),
                          row.places[n]) << "page " << n + 1;
            }
        }
        EXPECT_EQ(proof.IsPlanBroken(), row.planBroken);
        // The process that made none of its pages while the other made them.
        EXPECT_EQ(workers > 1 && proof.IsIdle(1), row.idleSecond);
    }

    // Only the run's own lines count, however the output is cut: the job's
    // text, a line under another tag, a line too long to be ours.
    PageProof proof("%QuilletRun 0f", 1);
    proof.SetShare([](std::size_t, std::int32_t) { return true; });
    const std::string output = "text %QuilletRun 0f Page=7;Files=0;\n%QuilletRun 1e Page=1;Files=0;\n"
                               "%QuilletRun 0f Page=1;Files=0;" + std::string(200, ' ') + "\n"
                               "%QuilletRun 0f Page=2;Files=0;\n";
    for (char c : output)
        proof.Scan(0, &c, 1);
    EXPECT_EQ(proof.GetPendingFile(0), 1);
    proof.NoteFile(0, 1);
    EXPECT_EQ(proof.Find(2).state, State::Made);
    EXPECT_EQ(proof.Find(7).state, State::NotYet);
    EXPECT_FALSE(proof.IsPlanBroken());
}

TEST(GhostscriptRootTest, FolderOfTheJobServer)
{
    EXPECT_EQ(GetGhostscriptRoot(L"/opt/quillet/qvjobsvr"), L"/opt/quillet/");
    EXPECT_EQ(GetGhostscriptRoot(L"\"/opt/quillet/qvjobsvr\""), L"/opt/quillet/");
    EXPECT_EQ(GetGhostscriptRoot(L"C:\\Program Files\\Q\\qvjobsvr.exe"), L"C:\\Program Files\\Q\\");
    EXPECT_EQ(GetGhostscriptRoot(L"qvjobsvr"), L"qvjobsvr");
}

}  // namespace
}  // namespace Quillet
