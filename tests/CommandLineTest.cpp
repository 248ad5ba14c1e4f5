// SplitCommandLine and JoinCommandLine against the Windows runtime's argument rules.
#include "platform/CommandLine.h"

#include <gtest/gtest.h>

using Quillet::Platform::SplitCommandLine;
using Args = std::vector<std::wstring>;

TEST(CommandLineTest, BlanksQuotesAndBackslashes)
{
    const std::pair<const wchar_t*, Args> cases[] = {
        {L" \t ", {}},
        {L"gs -dSAFER\t -q  ", {L"gs", L"-dSAFER", L"-q"}},
        {L"gs \"a b\" c\"d e\"f \"\"", {L"gs", L"a b", L"cd ef", L""}},
        {L"gs \"unterminated one", {L"gs", L"unterminated one"}},
        // The engine's IJS entries carry their own quotes around the value.
        {L"gs \"-sDeviceManufacturer=\"QV\"\" -sIjsServer=\"/opt/my gs/qvijs\"",
         {L"gs", L"-sDeviceManufacturer=QV", L"-sIjsServer=/opt/my gs/qvijs"}},
        {L"gs \u00e9t\u00e9 \"\U0001F600 x\"", {L"gs", L"\u00e9t\u00e9", L"\U0001F600 x"}},
        // Backslashes count only before quotes: 2n -> n and a quote that
        // groups, 2n+1 -> n and a literal quote.
        {L"p a\\b c\\\\d trailing\\", {L"p", L"a\\b", L"c\\\\d", L"trailing\\"}},
        {L"p a\\\"b", {L"p", L"a\"b"}},
        {L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},
        {L"p a\\\\\\\"b", {L"p", L"a\\\"b"}},
        {L"p \"C:\\dir\\\\\" x", {L"p", L"C:\\dir\\", L"x"}},
        // Inside quotes "" is a literal quote; outside, an empty group.
        {L"p \"a\"\"b c\" d", {L"p", L"a\"b c", L"d"}},
        {L"p a\"\"b", {L"p", L"ab"}},
        // The program name keeps its backslashes.
        {L"\"C:\\Program Files\\gs\\\" -q", {L"C:\\Program Files\\gs\\", L"-q"}},
        {L"a\\\"b c", {L"a\\b c"}},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(SplitCommandLine(line), expected) << testing::PrintToString(std::wstring(line));
}

TEST(CommandLineTest, AJoinedLineSplitsBackIntoItsArguments)
{
    const Args cases[] = {
        {L"C:\\Program Files\\gs\\gs.exe", L"", L"a b", L"\t", L"q\"uote", L"\"", L"end\\", L"\\\\\"x\\ y\\\\"},
        {L"gs", L"-o", L"/out \"dir\" \\\"x\\ 100%/p_%03d.png", L"-sIjsParams=Dither=on\\\"x", L"\u00e9t\u00e9"},
    };
    for (const Args& argv : cases)
        EXPECT_EQ(SplitCommandLine(Quillet::Platform::JoinCommandLine(argv)), argv);
}
