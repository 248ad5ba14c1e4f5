// Conversions between wide strings, UTF-8 and UTF-16, with ill-formed input.
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace Quillet;

namespace {

const wchar_t R = 0xFFFD;

// A wide string of code points: one unit each, or a surrogate pair for a
// character beyond U+FFFF where wchar_t has 16 bits (Windows).
std::wstring W(std::initializer_list<unsigned> codes)
{
    std::wstring text;
    for (unsigned c : codes) {
        if (sizeof(wchar_t) == 2 && c >= 0x10000 && c <= 0x10FFFF) {
            text.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
            c = 0xDC00 + ((c - 0x10000) & 0x3FF);
        }
        text.push_back(static_cast<wchar_t>(c));
    }
    return text;
}

}  // namespace

TEST(TextConversionTest, WellFormedTextRoundTripsWithEmbeddedNuls)
{
    const std::wstring text = W({'a', 0, 0xE9, 0x20AC, 0xFFFD, 0x1F600, 0x10FFFF, 0, 'z'});
    const std::string utf8 = ToUtf8(text);
    EXPECT_EQ(utf8, std::string("a\0\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\0z", 20));
    EXPECT_EQ(FromUtf8(utf8), text);

    const std::u16string utf16 = ToUtf16(text);
    EXPECT_EQ(utf16, (std::u16string{u'a', 0, 0xE9, 0x20AC, 0xFFFD, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF, 0, u'z'}));
    EXPECT_EQ(FromUtf16(utf16.data(), utf16.size()), text);
    EXPECT_EQ(FromUtf16(nullptr, 5), L"");
}

TEST(TextConversionTest, WideValuesAndLoneUtf16SurrogatesThatAreNoCharactersBecomeReplacements)
{
    const std::wstring bad = W({0xD800, 0xDFFF, 0x110000, 0xFFFFFFFFu, 0x7FFFFFFF, 'x'});
    EXPECT_EQ(ToUtf8(bad), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_EQ(ToUtf16(bad), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, u'x'}));
    const std::u16string units{0xD800, u'a', 0xDC00, 0xDBFF, 0xD800, 0xDC00, 0xDBFF};
    EXPECT_EQ(FromUtf16(units.data(), units.size()), W({R, 'a', R, R, 0x10000, R}));
}

TEST(TextConversionTest, IllFormedUtf8GivesOneReplacementPerMaximalSubpart)
{
    struct Case {
        std::string bytes;
        std::wstring expected;
    };
    const Case cases[] = {
        // Truncated sequences in the middle and a stray continuation.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         W({'a', R, R, R, 'b', R, 'c', R, R, 'd'})},
        {"\xC0\xAF", W({R, R})},                 // overlong lead bytes
        {"\xE0\x80\xAF", W({R, R, R})},          // overlong three-byte form
        {"\xED\xA0\x80", W({R, R, R})},          // an encoded surrogate
        {"\xF4\x90\x80\x80", W({R, R, R, R})},   // above U+10FFFF
        {"\xF5\xFF\xFE", W({R, R, R})},          // bytes that never occur
        {"x\xE2\x82", W({'x', R})},              // cut short at the end
        {"\xF0\x9F\x98", W({R})},
        {"\xE2\x82\x41", W({R, 'A'})},           // the breaking byte starts anew
        {"\xF0\x9F\x98\x80\xF0", W({0x1F600, R})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FromUtf8(c.bytes), c.expected) << testing::PrintToString(c.bytes);
        // The same through 16-bit units, as where wchar_t has 16 bits.
        const std::u16string units = Utf8ToUnits<char16_t>(c.bytes);
        EXPECT_EQ(RecodeUnits<wchar_t>(units.data(), units.size()), c.expected) << testing::PrintToString(c.bytes);
    }
}

TEST(TextConversionTest, SixteenBitUnitsPairSurrogatesAndReplaceLoneOnes)
{
    const struct {
        std::u16string units;
        std::string utf8;
        std::u16string clean;  // the units as they come back from utf8
    } cases[] = {
        {{u'a', 0xD83D, 0xDE00, 0, 0xDBFF, 0xDFFF}, {"a\xF0\x9F\x98\x80\0\xF4\x8F\xBF\xBF", 10},
         {u'a', 0xD83D, 0xDE00, 0, 0xDBFF, 0xDFFF}},
        {{u'x', 0xD83D}, "x\xEF\xBF\xBD", {u'x', R}},                             // high one at the end
        {{0xDE00, 0xD83D, u'y'}, "\xEF\xBF\xBD\xEF\xBF\xBDy", {R, R, u'y'}},      // reversed pair
        {{0xD800, 0xD800, 0xDC00}, "\xEF\xBF\xBD\xF0\x90\x80\x80", {R, 0xD800, 0xDC00}},
    };
    for (const auto& c : cases) {
        const std::string name = testing::PrintToString(c.utf8);
        EXPECT_EQ(UnitsToUtf8(c.units.data(), c.units.size()), c.utf8) << name;
        EXPECT_EQ(Utf8ToUnits<char16_t>(c.utf8), c.clean) << name;
        EXPECT_EQ(RecodeUnits<char16_t>(c.units.data(), c.units.size()), c.clean) << name;
        EXPECT_EQ(RecodeUnits<wchar_t>(c.units.data(), c.units.size()), FromUtf8(c.utf8)) << name;
    }
}

TEST(TextConversionTest, RandomBytesAlwaysDecodeToValidText)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 40, '\0');
        for (char& b : bytes)
            b = static_cast<char>(random() % 4 == 0 ? 0x80 + random() % 0x80 : random() % 256);
        const std::wstring text = FromUtf8(bytes);
        ASSERT_LE(text.size(), bytes.size());
        // What comes out is well-formed, so it survives another round trip.
        const std::string again = ToUtf8(text);
        ASSERT_EQ(FromUtf8(again), text);
        const std::u16string units = ToUtf16(text);
        ASSERT_EQ(FromUtf16(units.data(), units.size()), text);
        ASSERT_EQ(Utf8ToUnits<char16_t>(bytes), units);
    }
}
