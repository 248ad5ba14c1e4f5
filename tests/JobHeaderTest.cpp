// The job-header scan: keys and values as Ghostscript's output brings them,
// in pieces, with strtol's reading of the numbers and the 1024/100 trimming.
#include "engine/RIPEngine.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace Quillet {
namespace {

class JobHeaderTest : public ::testing::Test {
protected:
    void SetUp() override { engine = static_cast<RIPEngine*>(CreateRIPService(L"/docs/job.ps")); }
    void TearDown() override { engine->Release(); }

    void Scan(const std::string& text) { engine->ScanJobHeader(text.data(), text.size()); }
    // Copies as the host sees them: the header's value when above 1 (a fresh
    // engine has no pages to count, so -1 otherwise).
    std::int32_t Copies() { return engine->GetNumCopies(); }

    RIPEngine* engine = nullptr;
};

TEST_F(JobHeaderTest, CopiesAreTakenOnceAndNeedASemicolonAfterTheKey)
{
    Scan("GPL Ghostscript\nCopies=3");
    EXPECT_EQ(Copies(), -1);  // no ";" yet
    Scan("\n;");
    EXPECT_EQ(Copies(), 3);
    Scan("Copies=5;");
    EXPECT_EQ(Copies(), 3);
}

TEST_F(JobHeaderTest, SemicolonOnlyBeforeTheKeyDoesNotCount)
{
    Scan("x;Copies=3");
    EXPECT_EQ(Copies(), -1);
}

TEST_F(JobHeaderTest, KeySplitAcrossPieces)
{
    Scan("Orient");
    EXPECT_EQ(engine->GetOrientation(), 0);
    Scan("ation=2;");
    EXPECT_EQ(engine->GetOrientation(), 2);
    Scan("Orientation=3;");  // final once known
    EXPECT_EQ(engine->GetOrientation(), 2);
    Scan("");
    EXPECT_EQ(engine->GetOrientation(), 2);
}

TEST_F(JobHeaderTest, NumbersAreReadLikeStrtolWithBaseZero)
{
    Scan("Orientation=010;");
    EXPECT_EQ(engine->GetOrientation(), 8);  // octal
    Scan("Copies=  +0x1A;");
    EXPECT_EQ(Copies(), 26);
}

TEST_F(JobHeaderTest, OutOfRangeValuesAreClamped)
{
    Scan("Copies=99999999999;Orientation=-99999999999;");
    EXPECT_EQ(Copies(), INT32_MAX);
    EXPECT_EQ(engine->GetOrientation(), INT32_MIN);
}

TEST_F(JobHeaderTest, CollateFollowsTheFirstKeyStillHeld)
{
    Scan("Collate=1;");
    EXPECT_TRUE(engine->GetIsCollated());
    Scan("Collate=0;");  // the first occurrence still counts
    EXPECT_TRUE(engine->GetIsCollated());

    for (const char* text : {"Collate=2;", "Collate=0;", "Collate=x;"}) {
        RIPEngine* other = static_cast<RIPEngine*>(CreateRIPService(L""));
        other->ScanJobHeader("Collate=1;", 10);
        other->ScanJobHeader("", 0);
        EXPECT_TRUE(other->GetIsCollated());
        other->Release();
        other = static_cast<RIPEngine*>(CreateRIPService(L""));
        other->ScanJobHeader(text, std::string(text).size());
        EXPECT_FALSE(other->GetIsCollated()) << text;
        other->Release();
    }
    RIPEngine* hex = static_cast<RIPEngine*>(CreateRIPService(L""));
    hex->ScanJobHeader("Collate=0x1;", 12);
    EXPECT_TRUE(hex->GetIsCollated());
    hex->Release();
}

TEST_F(JobHeaderTest, ZeroLeavesAValueUnknownUntilTheOldKeyIsTrimmed)
{
    Scan("Copies=abc;");
    EXPECT_EQ(Copies(), -1);
    Scan("Copies=4;");  // the first occurrence is still the one converted
    EXPECT_EQ(Copies(), -1);
    // More than 1024 characters: only the last 100 stay, the old key goes.
    Scan(std::string(1100, '.'));
    Scan("Copies=4;");
    EXPECT_EQ(Copies(), 4);
}

TEST_F(JobHeaderTest, TrimmingKeepsAKeyThatIsSplitAtTheCut)
{
    // The end of a long piece holds the key, the next piece its value.
    Scan(std::string(2000, 'x') + "Orientation=");
    Scan("4;");
    EXPECT_EQ(engine->GetOrientation(), 4);
}

TEST_F(JobHeaderTest, DeletePagesForgetsTheOrientationButNotTheCopies)
{
    Scan("Copies=2;Collate=1;Orientation=3;");
    EXPECT_TRUE(engine->DeletePages());
    EXPECT_EQ(engine->GetOrientation(), 0);
    EXPECT_EQ(Copies(), 2);
    EXPECT_TRUE(engine->GetIsCollated());
    // The text is gone too: the old orientation is not found again.
    Scan("\n");
    EXPECT_EQ(engine->GetOrientation(), 0);
    Scan("Orientation=1;");
    EXPECT_EQ(engine->GetOrientation(), 1);
}

}  // namespace
}  // namespace Quillet
