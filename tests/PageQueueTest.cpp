// The page table: copy detection by file size, the records handed out, the
// output file's name and DeletePages, with page files the test writes.
#include "engine/OutputFormats.h"
#include "engine/RIPEngine.h"
#include "platform/TextConversion.h"
#include "support/Files.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace Quillet {
namespace {

class PageQueueTest : public ::testing::Test {
protected:
    void SetUp() override { engine = static_cast<RIPEngine*>(CreateRIPService(L"/docs/job.ps")); }
    void TearDown() override { engine->Release(); }

    /// Writes page file number n with a length chosen by its kind, and hands
    /// it to the engine as the monitor would.
    void Add(std::int32_t n, char kind)
    {
        const fs::path path = dir / ("p" + std::to_string(n) + ".png");
        std::ofstream(path, std::ios::binary) << std::string(100 + 10 * (kind - 'A'), kind);
        engine->GetPageQueue().Add(n, BitmapFile(FromUtf8(path.string())), true);
    }

    /// pagesPerCopy after each page of the sizes in kinds.
    std::vector<std::int32_t> Periods(const std::string& kinds)
    {
        std::vector<std::int32_t> periods;
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            Add(static_cast<std::int32_t>(i + 1), kinds[i]);
            periods.push_back(engine->GetPageQueue().GetPagesPerCopy());
        }
        return periods;
    }

    const QuilletTest::ScratchFolder scratch{"quillet-pages"};
    const fs::path dir = scratch.path;
    RIPEngine* engine = nullptr;
};

using PeriodList = std::vector<std::int32_t>;

TEST_F(PageQueueTest, CopiesAreFoundOnlyWhenCollated)
{
    const struct {
        const char* kinds;
        PeriodList periods;
        bool collated;  // more than one copy of more than one page in the table
    } cases[] = {
        {"ABCABC", {1, 2, 3, 3, 3, 3}, true},
        {"AAA", {1, 1, 1}, false},
        {"AABBCC", {1, 1, 3, 4, 5, 6}, false},  // uncollated copies are not recognised
        {"ABAC", {1, 2, 2, 4}, false},          // a chance match is undone
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(engine->DeletePages());
        EXPECT_EQ(Periods(c.kinds), c.periods) << c.kinds;
        EXPECT_EQ(engine->GetIsCollated(), c.collated) << c.kinds;
    }
}

TEST_F(PageQueueTest, DeletePagesRemovesTheFilesAndStartsAfresh)
{
    Periods("ABAB");
    ASSERT_EQ(engine->GetPageQueue().GetPagesPerCopy(), 2);
    EXPECT_TRUE(engine->DeletePages());
    EXPECT_EQ(engine->GetPageQueue().GetPagesPerCopy(), 1);
    EXPECT_TRUE(fs::is_empty(dir));
    // Files that are gone already are no failure.
    Add(1, 'A');
    fs::remove(dir / "p1.png");
    EXPECT_TRUE(engine->DeletePages());
}

TEST_F(PageQueueTest, OutputFileNameIsAppendedToTheCallersText)
{
    engine->SetOutputFolder(FromUtf8(dir.string()));
    std::wstring path = L"prefix:";
    EXPECT_FALSE(engine->GetOutputFile(path));  // no run: nothing written
    std::wstring first;
    FormatString(first, engine->GetPagePattern().c_str(), 1);
    EXPECT_EQ(path, L"prefix:" + first);

    std::ofstream(ToUtf8(first)) << "x";
    path.clear();
    EXPECT_TRUE(engine->GetOutputFile(path));
    EXPECT_EQ(path, first);
}

}  // namespace
}  // namespace Quillet
