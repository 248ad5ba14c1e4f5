// Tests of the key/value grammar shared by the parameter and job-key strings.
#include "capture/KeyValues.h"

#include <gtest/gtest.h>

#include <string>

namespace Quillet {
namespace {

TEST(KeyValues, GrammarExamplesAndBadInput)
{
    const std::wstring nonChars = std::wstring(L"k=") + wchar_t(0xD800) + wchar_t(0x110000) + L" " + wchar_t(0xDC00);
    struct Case {
        std::wstring text;
        std::int32_t count;
        KeyValueMap pairs;
    };
    const Case cases[] = {
        // Both pair forms, quotes and blanks.
        {LR"(docname="C:\My Files\r.doc" printjobfile=C:\t\j.ps)", 2,
         {{L"docname", LR"(C:\My Files\r.doc)"}, {L"printjobfile", LR"(C:\t\j.ps)"}}},
        {L"-docname x.doc -printername Q", 2, {{L"docname", L"x.doc"}, {L"printername", L"Q"}}},
        {L"\t k \t=  \tv\t", 1, {{L"k", L"v"}}},
        {L"k==v", 1, {{L"k", L"v"}}},
        // A closing quote ends the pair; the next key may follow at once.
        {L"a=\"x  y\"b=2", 2, {{L"a", L"x  y"}, {L"b", L"2"}}},
        {L"a=\"\" b=1", 2, {{L"a", L""}, {L"b", L"1"}}},
        // Keys without values; a lone "-" before a blank opens an empty key.
        {L"-a --b", 2, {{L"a", L""}, {L"-b", L""}}},
        {L"printername", 1, {{L"printername", L""}}},
        {L"- x y", 2, {{L"", L"x"}, {L"y", L""}}},
        {L"-", 0, {}},
        // Inside a key and an unquoted value, quote, "-" and "=" are text;
        // between pairs "=" starts a key; no escapes.
        {L"x\"y-z=b\"c=d-e", 1, {{L"x\"y-z", L"b\"c=d-e"}}},
        {L"=v", 1, {{L"=v", L""}}},
        {L"a=\"x\\\" b", 2, {{L"a", L"x\\"}, {L"b", L""}}},
        // Repeated keys keep the first value and still count; case counts.
        {L"docname=a docname=b", 2, {{L"docname", L"a"}}},
        {L"DocName=x docname=y", 2, {{L"DocName", L"x"}, {L"docname", L"y"}}},
        // Text ending inside a pair.
        {L"k=\"open with blanks  ", 1, {{L"k", L"open with blanks  "}}},
        {L"k=\"", 1, {{L"k", L""}}},
        // Blank text is empty; other white space is text.
        {L" \t \t ", 0, {}},
        {L"\n", 1, {{L"\n", L""}}},
        // Beyond ASCII passes whole; what does not convert becomes U+FFFD; NULs are text.
        {L"\U0001F600k=\U0001F600 \u00e9=\"\u4e2d \U00010348\"", 2,
         {{L"\U0001F600k", L"\U0001F600"}, {L"\u00e9", L"\u4e2d \U00010348"}}},
        {nonChars, 2, {{L"k", L"\uFFFD\uFFFD"}, {L"\uFFFD", L""}}},
        {std::wstring(L"a\0b=x\0y", 7), 1, {{std::wstring(L"a\0b", 3), std::wstring(L"x\0y", 3)}}},
    };
    for (const Case& c : cases) {
        KeyValueMap out{{L"stale", L"1"}};
        EXPECT_EQ(ParseKeyValues(c.text, out), c.count) << testing::PrintToString(c.text);
        EXPECT_EQ(out, c.pairs) << testing::PrintToString(c.text);
    }
}

TEST(KeyValues, LargeInputsStayLinear)
{
    // Each of these would take minutes with quadratic work.
    constexpr std::size_t kSize = 1 << 20;
    std::wstring pairs;
    for (std::size_t i = 0; pairs.size() < kSize; ++i)
        pairs += L"k=v ";
    KeyValueMap out;
    EXPECT_EQ(ParseKeyValues(pairs, out), static_cast<std::int32_t>(pairs.size() / 4));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(ParseKeyValues(L"k=\"" + std::wstring(kSize, L'x'), out), 1);
    EXPECT_EQ(out[L"k"].size(), kSize);
    EXPECT_EQ(ParseKeyValues(std::wstring(kSize, L'-'), out), 1);
    EXPECT_EQ(out.begin()->first.size(), kSize - 1);

    // "a - - - ..." emits an empty-valued pair at every "-".
    std::wstring dashes = L"a";
    while (dashes.size() < kSize)
        dashes += L" -";
    EXPECT_EQ(ParseKeyValues(dashes, out), static_cast<std::int32_t>(dashes.size() / 2));
    EXPECT_EQ(out.size(), 2u);  // "a" and the empty key

    std::wstring distinct;
    for (int i = 0; distinct.size() < kSize; ++i)
        distinct += L"-k" + std::to_wstring(i) + L" \"v\" ";
    const std::int32_t count = ParseKeyValues(distinct, out);
    EXPECT_EQ(count, static_cast<std::int32_t>(out.size()));
}

}  // namespace
}  // namespace Quillet
