// PagePlan and PageProof: how a run's pages are shared among its Ghostscript
// processes, and how each process's page files are placed by what it says.
#include "engine/PageList.h"
#include "engine/PagePlan.h"
#include "engine/PageProof.h"
#include "platform/FileHandle.h"
#include "platform/Pipe.h"
#include "platform/TextConversion.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace Quillet {
namespace {

using Args = std::vector<std::wstring>;

PageList List(const wchar_t* text)
{
    PageList list;
    std::string why;
    EXPECT_TRUE(PageList::Parse(text, list, why)) << why;
    return list;
}

TEST(PageListTest, ListsAreSortedMergedOrRefusedWithTheReason)
{
    const struct {
        const wchar_t* text;
        const char* result;  // the list as read, or the start of the reason it is refused
    } rows[] = {
        {L"3,1,2", "1-3"},
        {L" 9-12 , 1 ,10-", "1,9-"},
        {L"7,7,5-9,1", "1,5-9"},
        {L"1,3,5-9", "1,3,5-9"},
        {L"", "the page list is empty"},
        {L"1,,3", "the page list \"1,,3\" is not a list of pages"},
        {L"-3", "the page list \"-3\" is not a list of pages"},
        {L"1;2", "the page list \"1;2\" is not a list of pages"},
        {L"1-2-3", "the page list \"1-2-3\" is not a list of pages"},
        {L"0,3", "the page list \"0,3\" names page 0"},
        {L"9-5", "the page list \"9-5\" holds the range 9 to 5, which ends before it starts"},
        {L"4,99999999999", "the page list \"4,99999999999\" names a page past the largest page number"},
    };
    for (const auto& row : rows) {
        PageList list;
        std::string why;
        const std::string read = PageList::Parse(row.text, list, why) ? ToUtf8(list.Text()) : why;
        EXPECT_EQ(read.substr(0, std::strlen(row.result)), row.result) << ToUtf8(row.text);
    }
    std::wstring odd;
    for (int page = 1; page < 600; page += 2)
        odd += std::to_wstring(page) + L",";
    PageList list;
    std::string why;
    EXPECT_FALSE(PageList::Parse(odd + L"1", list, why));
    EXPECT_NE(why.find("characters long once sorted and merged, more than 1000"), std::string::npos) << why;

    // The run's pages and the document's: past a closed list's end the
    // numbers keep rising.
    list = List(L"2,5,7-9");
    const std::int32_t pages[] = {2, 5, 7, 8, 9, 10};
    for (std::int32_t k = 1; k <= 6; ++k)
        EXPECT_EQ(list.GetDocumentPage(k), pages[k - 1]);
    EXPECT_EQ(list.GetRunPage(7), 3);
    EXPECT_EQ(list.GetRunPage(6), 0);
    EXPECT_EQ(list.GetRunPage(10), 0);
    EXPECT_EQ(list.CountUpTo(6), 2);
    EXPECT_EQ(list.GetCount(), 5);
    EXPECT_EQ(list.Text(2, 4), L"5,7-8");
}

TEST(PagePlanTest, EachPageHasOneProcessAndOneFileOfIt)
{
    using Kind = PagePlan::Kind;
    const struct {
        PagePlan plan;
        std::vector<Args> switches;  // each worker's
        std::vector<std::pair<int, int>> places;  // (worker, file) of the run's pages 1, 2, ...
    } rows[] = {
        {PagePlan(Kind::Interleaved, PageList(1, 0), 2, 0), {{L"-sPageList=odd:1-"}, {L"-sPageList=even:2-"}},
         {{0, 1}, {1, 1}, {0, 2}, {1, 2}, {0, 3}}},
        {PagePlan(Kind::Interleaved, PageList(4, 9), 2, 0), {{L"-sPageList=even:4-9"}, {L"-sPageList=odd:5-9"}},
         {{0, 1}, {1, 1}, {0, 2}, {1, 2}, {0, 3}, {1, 3}}},
        // Never more workers than pages left; one below the pages worth sharing.
        {PagePlan(Kind::Interleaved, PageList(2, 4), 8, 0), {{L"-sPageList=2"}, {L"-sPageList=3"}, {L"-sPageList=4"}},
         {{0, 1}, {1, 1}, {2, 1}}},
        // A declared count only says how many workers: the lists stay open.
        {PagePlan(Kind::Interleaved, PageList(1, 0), 8, 3),
         {{L"-sPageList=1,4,7,10,"}, {L"-sPageList=2,5,8,11,"}, {L"-sPageList=3,6,9,12,"}},
         {{0, 1}, {1, 1}, {2, 1}, {0, 2}}},
        {PagePlan(Kind::Interleaved, PageList(1, 0), 8, 1), {{}}, {{0, 1}, {0, 2}}},
        {PagePlan(Kind::Interleaved, PageList(3, 0), 8, 3), {{L"-sPageList=3-"}}, {{0, 1}, {0, 2}}},
        {PagePlan(Kind::Interleaved, PageList(5, 5), 2, 0), {{L"-sPageList=5"}}, {{0, 1}}},
        // A list of several ranges: each worker's pages listed one by one.
        {PagePlan(Kind::Interleaved, List(L"5-9,3,1,7"), 2, 0), {{L"-sPageList=1,5,7,9"}, {L"-sPageList=3,6,8"}},
         {{0, 1}, {1, 1}, {0, 2}, {1, 2}, {0, 3}, {1, 3}, {0, 4}}},
        {PagePlan(Kind::Interleaved, List(L"2,4-"), 3, 0), {{L"-sPageList=2,6,9,12,"}, {L"-sPageList=4,7,10,13"},
         {L"-sPageList=5,8,11,14"}}, {{0, 1}, {1, 1}, {2, 1}, {0, 2}}},
        {PagePlan(Kind::Ranges, PageList(1, 0), 2, 0), {{}}, {{0, 1}, {0, 2}, {0, 3}}},
        {PagePlan(Kind::Ranges, PageList(3, 6), 2, 0), {{L"-dFirstPage=3", L"-dLastPage=6"}},
         {{0, 1}, {0, 2}, {0, 3}, {0, 4}}},
        // A PDF's list of several ranges is cut at once; one open at its end is not.
        {PagePlan(Kind::Ranges, List(L"8,2,5,7-9"), 2, 0), {{L"-sPageList=2,5,7"}, {L"-sPageList=8-9"}},
         {{0, 1}, {0, 2}, {0, 3}, {1, 1}, {1, 2}}},
        {PagePlan(Kind::Ranges, List(L"2,5-"), 2, 0), {{L"-sPageList=2,5-"}}, {{0, 1}, {0, 2}, {0, 3}}},
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
    PagePlan many(PagePlan::Kind::Interleaved, PageList(1, 0), 3, 0);
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
    PagePlan pdf(PagePlan::Kind::Ranges, PageList(1, 0), 3, 0);
    EXPECT_FALSE(pdf.SetPageSpan(1, 2, 3));  // two pages: stay with one process
    PagePlan pdf10(PagePlan::Kind::Ranges, PageList(1, 0), 3, 0);
    EXPECT_TRUE(pdf10.SetPageSpan(1, 10, 3));
    EXPECT_FALSE(pdf10.SetPageSpan(1, 20, 3));
    EXPECT_EQ(pdf10.GetWorkerCount(), 3);
    EXPECT_EQ(pdf10.GetPageSwitches(1), (Args{L"-dFirstPage=5", L"-dLastPage=8"}));
    EXPECT_EQ(pdf10.GetPageSwitches(2), (Args{L"-dFirstPage=9"}));
    EXPECT_EQ(pdf10.GetLastPageOf(0), 4);
    EXPECT_EQ(pdf10.GetLastPageOf(2), 0);
    EXPECT_TRUE(pdf10.Locate(9, worker, index));
    EXPECT_EQ(std::make_pair(worker, index), std::make_pair(2, 1));
    PagePlan range(PagePlan::Kind::Ranges, PageList(3, 6), 2, 0);
    EXPECT_TRUE(range.SetPageSpan(3, 6, 2));
    EXPECT_EQ(range.GetPageSwitches(1), (Args{L"-dFirstPage=5", L"-dLastPage=6"}));
    EXPECT_FALSE(range.Locate(5, worker, index));  // past the range

    // Shared only where the work pays for another process's start: a few
    // letter pages at 72 dpi stay on one, twenty at 150 dpi do not.
    const PageShareCost low{612.0 * 792, 100}, high{1275.0 * 1650, 100};
    EXPECT_EQ(PagePlan(PagePlan::Kind::Interleaved, PageList(1, 0), 2, 6, low).GetWorkerCount(), 1);
    EXPECT_EQ(PagePlan(PagePlan::Kind::Interleaved, PageList(1, 0), 2, 20, high).GetWorkerCount(), 2);
    EXPECT_EQ(PagePlan(PagePlan::Kind::Interleaved, PageList(1, 0), 2, 0, low).GetWorkerCount(), 2);  // length unknown
    EXPECT_FALSE(PagePlan(PagePlan::Kind::Ranges, PageList(1, 0), 2, 0, low).SetPageSpan(1, 6, 2));
    EXPECT_TRUE(PagePlan(PagePlan::Kind::Ranges, PageList(1, 0), 2, 0, high).SetPageSpan(1, 20, 2));
}

TEST(PagePlanTest, DeclaredPageCountOfAJobFile)
{
    const QuilletTest::ScratchFolder scratch("quillet-declared");
    const std::string file = scratch.path + "/job.ps";
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
}

TEST(PageProofTest, PagesArePlacedByWhatTheProcessesSayOfTheirFiles)
{
    // Events: 'L' worker page files: worker said the page after that many
    // files; 'F' worker index: its file index was there before its output
    // was read; 'E' worker files: it ended with that many files. Then, for
    // the job's pages 1, 2, ..., where each is: (worker, file), or -1
    // NotYet, -2 Lost, -3 Absent; and whether files nobody spoke for showed.
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
        bool planBroken, idleSecond, unsaid;
    } rows[] = {
        {"lists kept: odd and even, a job of two pages",
         {{'L', 0, 1, 0}, {'L', 1, 1, 0}, {'L', 1, 2, 0}, {'F', 0, 1, 0}, {'L', 0, 2, 1}, {'E', 0, 1, 0},
          {'F', 1, 1, 0}, {'E', 1, 1, 0}},
         {{0, 1}, {1, 1}, {-3, 0}}, false, false, false},
        {"lists defeated: the first process makes every page, the second none",
         {{'L', 0, 1, 0}, {'L', 0, 2, 1}, {'L', 0, 3, 2}, {'L', 1, 1, 0}, {'L', 1, 2, 0}, {'L', 1, 3, 0},
          {'E', 1, 0, 0}, {'F', 0, 3, 0}},
         {{0, 1}, {0, 2}, {0, 3}, {-1, 0}}, true, true, false},
        {"a page of another share is placed by the next line, not by its file alone",
         {{'L', 0, 1, 0}, {'E', 0, 0, 0}, {'L', 1, 1, 0}, {'F', 1, 1, 0}, {'L', 1, 2, 1}},
         {{1, 1}, {-1, 0}}, true, false, false},
        {"the last file of a process is another share's page only once that share's process passed it",
         {{'L', 0, 1, 0}, {'L', 1, 1, 0}, {'E', 1, 1, 0}},
         {{-1, 0}}, false, false, false},
        {"... and then it is",
         {{'L', 0, 1, 0}, {'L', 0, 2, 1}, {'E', 0, 2, 0}, {'L', 1, 1, 0}, {'L', 1, 2, 0}, {'E', 1, 0, 0}},
         {{0, 1}, {0, 2}, {-3, 0}}, true, false, false},
        {"a page nobody made is lost once every process passed it",
         {{'L', 0, 1, 0}, {'F', 0, 1, 0}, {'L', 0, 2, 1}, {'L', 0, 3, 1}, {'L', 1, 1, 0}, {'L', 1, 2, 0}},
         {{0, 1}, {-1, 0}}, false, false, false},
        {"... and then it is",
         {{'L', 0, 1, 0}, {'F', 0, 1, 0}, {'L', 0, 2, 1}, {'L', 0, 3, 1}, {'L', 1, 1, 0}, {'L', 1, 2, 0},
          {'L', 1, 3, 0}},
         {{0, 1}, {-2, 0}}, true, false, false},
        {"a file seen for a page already passed places the later page",
         {{'L', 0, 1, 0}, {'L', 0, 2, 0}, {'F', 0, 1, 0}, {'E', 0, 1, 0}},
         {{-2, 0}, {0, 1}}, true, false, false},
        {"files nobody spoke for: a count that jumps, files left at the end",
         {{'L', 0, 1, 0}, {'L', 0, 2, 3}, {'E', 0, 5, 0}},
         {{-2, 0}, {-2, 0}, {-3, 0}}, true, false, true},
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
                proof.NoteEnd(e.worker, e.a);
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
        EXPECT_EQ(proof.HasUnsaidFiles(), row.unsaid);
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

}  // namespace
}  // namespace Quillet
