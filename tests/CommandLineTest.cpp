// SplitCommandLine against the Windows runtime's argument rules.
#include "platform/CommandLine.h"

#include <gtest/gtest.h>

using Quillet::Platform::SplitCommandLine;
using Args = std::vector<std::wstring>;

TEST(CommandLineTest, BlanksSeparateAndQuotesGroup)
{
    EXPECT_EQ(SplitCommandLine(L""), Args{});
    EXPECT_EQ(SplitCommandLine(L" \t "), Args{});
    EXPECT_EQ(SplitCommandLine(L"gs -dSAFER\t -q  "), (Args{L"gs", L"-dSAFER", L"-q"}));
    EXPECT_EQ(SplitCommandLine(L"gs \"a b\" c\"d e\"f \"\""), (Args{L"gs", L"a b", L"cd ef", L""}));
    EXPECT_EQ(SplitCommandLine(L"gs \"unterminated one"), (Args{L"gs", L"unterminated one"}));
    // The engine's IJS entries carry their own quotes around the value.
    EXPECT_EQ(SplitCommandLine(L"gs \"-sDeviceManufacturer=\"QV\"\" -sIjsServer=\"/opt/my gs/qvijs\""),
              (Args{L"gs", L"-sDeviceManufacturer=QV", L"-sIjsServer=/opt/my gs/qvijs"}));
    EXPECT_EQ(SplitCommandLine(L"gs \u00e9t\u00e9 \"\U0001F600 x\""), (Args{L"gs", L"\u00e9t\u00e9", L"\U0001F600 x"}));
}

TEST(CommandLineTest, BackslashesCountOnlyBeforeQuotes)
{
    EXPECT_EQ(SplitCommandLine(L"p a\\b c\\\\d"), (Args{L"p", L"a\\b", L"c\\\\d"}));
    EXPECT_EQ(SplitCommandLine(L"p a\\\"b"), (Args{L"p", L"a\"b"}));          // 1 -> literal quote
    EXPECT_EQ(SplitCommandLine(L"p a\\\\\"b c\""), (Args{L"p", L"a\\b c"}));  // 2 -> 1, quote groups
    EXPECT_EQ(SplitCommandLine(L"p a\\\\\\\"b"), (Args{L"p", L"a\\\"b"}));    // 3 -> 1 + literal quote
    EXPECT_EQ(SplitCommandLine(L"p \"C:\\dir\\\\\" x"), (Args{L"p", L"C:\\dir\\", L"x"}));
    EXPECT_EQ(SplitCommandLine(L"p trailing\\"), (Args{L"p", L"trailing\\"}));
}

TEST(CommandLineTest, DoubledQuoteInsideQuotesIsLiteral)
{
    EXPECT_EQ(SplitCommandLine(L"p \"a\"\"b\""), (Args{L"p", L"a\"b"}));
    EXPECT_EQ(SplitCommandLine(L"p \"a\"\"b c\" d"), (Args{L"p", L"a\"b c", L"d"}));
    // Outside quotes "" opens and closes an empty group.
    EXPECT_EQ(SplitCommandLine(L"p a\"\"b"), (Args{L"p", L"ab"}));
}

TEST(CommandLineTest, ProgramNameKeepsBackslashes)
{
    EXPECT_EQ(SplitCommandLine(L"\"C:\\Program Files\\gs\\\" -q"), (Args{L"C:\\Program Files\\gs\\", L"-q"}));
    EXPECT_EQ(SplitCommandLine(L"  \"/opt/q v/gs/bin/gs\" -q"), (Args{L"/opt/q v/gs/bin/gs", L"-q"}));
    EXPECT_EQ(SplitCommandLine(L"a\\\"b c"), (Args{L"a\\b c"}));
}
