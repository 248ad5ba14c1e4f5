// Tests of the key/value grammar shared by the parameter and job-key strings.
#include "capture/KeyValues.h"

#include <gtest/gtest.h>

#include <string>

namespace Quillet {
namespace {

KeyValueMap Read(const std::wstring& text, std::int32_t expectedCount)
{
    KeyValueMap out;
    EXPECT_EQ(ParseKeyValues(text, out), expectedCount) << "for: " << testing::PrintToString(text);
    return out;
}

TEST(KeyValues, BothPairFormsQuotesAndBlanks)
{
    EXPECT_EQ(Read(LR"(docname="C:\My Files\r.doc" printjobfile=C:\t\j.ps)", 2),
              (KeyValueMap{{L"docname", LR"(C:\My Files\r.doc)"}, {L"printjobfile", LR"(C:\t\j.ps)"}}));
    EXPECT_EQ(Read(L"-docname x.doc -printername Q", 2),
              (KeyValueMap{{L"docname", L"x.doc"}, {L"printername", L"Q"}}));
    EXPECT_EQ(Read(L"\t k \t=  \tv\t", 1), (KeyValueMap{{L"k", L"v"}}));
    EXPECT_EQ(Read(L"k==v", 1), (KeyValueMap{{L"k", L"v"}}));
    // A closing quote ends the pair; the next key may follow at once.
    EXPECT_EQ(Read(L"a=\"x  y\"b=2", 2), (KeyValueMap{{L"a", L"x  y"}, {L"b", L"2"}}));
    EXPECT_EQ(Read(L"a=\"\" b=1", 2), (KeyValueMap{{L"a", L""}, {L"b", L"1"}}));
}

TEST(KeyValues, KeysWithoutValues)
{
    EXPECT_EQ(Read(L"-a -b", 2), (KeyValueMap{{L"a", L""}, {L"b", L""}}));
    EXPECT_EQ(Read(L"-a --b", 2), (KeyValueMap{{L"a", L""}, {L"-b", L""}}));
    EXPECT_EQ(Read(L"printername", 1), (KeyValueMap{{L"printername", L""}}));
    EXPECT_EQ(Read(L"k=", 1), (KeyValueMap{{L"k", L""}}));
    // A lone "-" before a blank opens a key that stays empty.
    EXPECT_EQ(Read(L"- x y", 2), (KeyValueMap{{L"", L"x"}, {L"y", L""}}));
    EXPECT_EQ(Read(L"-", 0), KeyValueMap{});
}

TEST(KeyValues, SpecialCharactersInsideKeysAndValues)
{
    // Inside a key and an unquoted value, quote, "-" and "=" are plain text.
    EXPECT_EQ(Read(L"x\"y-z=b\"c=d-e", 1), (KeyValueMap{{L"x\"y-z", L"b\"c=d-e"}}));
    // Between pairs "=" starts a key like any other character.
    EXPECT_EQ(Read(L"=v", 1), (KeyValueMap{{L"=v", L""}}));
    // No escapes: a backslash before a quote is just a backslash.
    EXPECT_EQ(Read(L"a=\"x\\\" b", 2), (KeyValueMap{{L"a", L"x\\"}, {L"b", L""}}));
}

TEST(KeyValues, RepeatedKeysKeepTheFirstValueAndCount)
{
    EXPECT_EQ(Read(L"docname=a docname=b", 2), (KeyValueMap{{L"docname", L"a"}}));
    EXPECT_EQ(Read(L"DocName=x docname=y", 2), (KeyValueMap{{L"DocName", L"x"}, {L"docname", L"y"}}));
}

TEST(KeyValues, TextEndingInsideAPair)
{
    EXPECT_EQ(Read(L"k=\"open", 1), (KeyValueMap{{L"k", L"open"}}));
    EXPECT_EQ(Read(L"k=\"open with blanks  ", 1), (KeyValueMap{{L"k", L"open with blanks  "}}));
    EXPECT_EQ(Read(L"k=\"", 1), (KeyValueMap{{L"k", L""}}));
    EXPECT_EQ(Read(L"a=1 b=2", 2), (KeyValueMap{{L"a", L"1"}, {L"b", L"2"}}));
}

TEST(KeyValues, EmptyAndBlankTextEmptiesTheMap)
{
    KeyValueMap out{{L"stale", L"1"}};
    EXPECT_EQ(ParseKeyValues(L"", out), 0);
    EXPECT_TRUE(out.empty());
    out[L"stale"] = L"1";
    EXPECT_EQ(ParseKeyValues(L" \t \t ", out), 0);
    EXPECT_TRUE(out.empty());
    // Other white space is text.
    EXPECT_EQ(Read(L"\n", 1), (KeyValueMap{{L"\n", L""}}));
}

TEST(KeyValues, CharactersBeyondAsciiAndOnesThatDoNotConvert)
{
    // Non-BMP characters pass through whole (they are surrogate pairs inside).
    EXPECT_EQ(Read(L"\U0001F600k=\U0001F600 \u00e9=\"\u4e2d \U00010348\"", 2),
              (KeyValueMap{{L"\U0001F600k", L"\U0001F600"}, {L"\u00e9", L"\u4e2d \U00010348"}}));
    // Lone surrogates and values beyond Unicode become U+FFFD.
    std::wstring bad = L"k=";
    bad += static_cast<wchar_t>(0xD800);
    bad += static_cast<wchar_t>(0x110000);
    bad += L" ";
    bad += static_cast<wchar_t>(0xDC00);
    EXPECT_EQ(Read(bad, 2), (KeyValueMap{{L"k", L"\uFFFD\uFFFD"}, {L"\uFFFD", L""}}));
    // NULs are ordinary characters.
    const std::wstring withNul(L"a\0b=x\0y", 7);
    EXPECT_EQ(Read(withNul, 1), (KeyValueMap{{std::wstring(L"a\0b", 3), std::wstring(L"x\0y", 3)}}));
}

TEST(KeyValues, LargeInputsStayLinear)
{
    // Each of these would take minutes with quadratic work.
    constexpr std::size_t kSize = 1 << 20;
    std::wstring pairs;
    for (std::size_t i = 0; pairs.size() < kSize; ++i)
        pairs += L"k=v ";
    const auto pairCount = static_cast<std::int32_t>(pairs.size() / 4);
    EXPECT_EQ(Read(pairs, pairCount).size(), 1u);

    KeyValueMap out;
    EXPECT_EQ(ParseKeyValues(L"k=\"" + std::wstring(kSize, L'x'), out), 1);
    EXPECT_EQ(out[L"k"].size(), kSize);
    EXPECT_EQ(ParseKeyValues(std::wstring(kSize, L'-'), out), 1);
    EXPECT_EQ(out.begin()->first.size(), kSize - 1);
    EXPECT_EQ(ParseKeyValues(std::wstring(kSize, L'"'), out), 1);

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
