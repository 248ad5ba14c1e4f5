// The job-header scan: only the prolog's line, with the run's tag, gives the
// header values, however the output is cut into pieces and whatever the job
// prints itself.
#include "engine/RIPEngine.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Quillet {
namespace {

class JobHeaderTest : public ::testing::Test {
protected:
    void SetUp() override { engine = static_cast<RIPEngine*>(CreateRIPService(L"/docs/job.ps")); }
    void TearDown() override { engine->Release(); }

    void Scan(const std::string& text) { engine->GetJobHeader().Scan(text.data(), text.size()); }

    RIPEngine* engine = nullptr;
};

TEST_F(JobHeaderTest, OnlyThePrologsLineWithTheRunsTagCounts)
{
    struct Case {
        const char* name;
        std::vector<std::string> pieces;  // "TAG" stands for the run's tag
        std::int32_t copies;              // as GetNumCopies gives it (-1: not above 1)
        bool collated;
        std::int32_t orientation;
    };
    const std::string header = "TAG Copies=3;Collate=1;Orientation=2;\n";
    const Case cases[] = {
        {"the prolog's line", {"\n" + header}, 3, true, 2},
        {"after the job's own values", {"Orientation=Landscape; Copies=all;\n", header}, 3, true, 2},
        {"after an unfinished line", {"partial", "\n" + header}, 3, true, 2},
        {"in pieces", {"TAG", " Copies=3;Col", "late=1;Orientati", "on=2", ";", "\n"}, 3, true, 2},
        {"only the first line counts", {header, "TAG Copies=5;Collate=0;Orientation=4;\n"}, 3, true, 2},
        {"the job's copy of the line", {"Copies=3;Collate=1;Orientation=2;\n"}, -1, false, 0},
        {"another run's tag", {"%QuilletRun 0123 Copies=3;Collate=1;Orientation=2;\n"}, -1, false, 0},
        {"not the whole line", {"TAG Copies=3;Collate=1;Orientation=2;x\n"}, -1, false, 0},
        {"not yet ended", {"TAG Copies=3;Collate=1;Orientation=2;"}, -1, false, 0},
        {"behind the job's text", {"xTAG Copies=3;Collate=1;Orientation=2;\n"}, -1, false, 0},
        {"a long line is the job's", {std::string(400, '.') + "\n", header}, 3, true, 2},
        {"out of range", {"TAG Copies=99999999999;Collate=0;Orientation=9;\n"}, INT32_MAX, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = engine->GetJobHeader().Begin();
        EXPECT_EQ(tag.rfind("%QuilletRun ", 0), 0u);
        EXPECT_EQ(engine->GetOrientation(), 0);
        for (std::string piece : c.pieces) {
            for (std::size_t at; (at = piece.find("TAG")) != std::string::npos;)
                piece.replace(at, 3, tag);
            Scan(piece);
        }
        EXPECT_EQ(engine->GetNumCopies(), c.copies);
        EXPECT_EQ(engine->GetIsCollated(), c.collated);
        EXPECT_EQ(engine->GetOrientation(), c.orientation);
    }
}

TEST_F(JobHeaderTest, EachRunHasItsOwnTagAndValuesThatDeletePagesKeeps)
{
    const std::string first = engine->GetJobHeader().Begin();
    Scan(first + " Copies=2;Collate=1;Orientation=3;\n");
    EXPECT_TRUE(engine->DeletePages());
    EXPECT_EQ(engine->GetOrientation(), 3);
    EXPECT_EQ(engine->GetNumCopies(), 2);

    const std::string second = engine->GetJobHeader().Begin();
    EXPECT_NE(second, first);
    EXPECT_EQ(engine->GetOrientation(), 0);
    EXPECT_EQ(engine->GetNumCopies(), -1);
    Scan(first + " Copies=2;Collate=1;Orientation=3;\n");  // the last run's line
    EXPECT_EQ(engine->GetOrientation(), 0);
}

}  // namespace
}  // namespace Quillet
