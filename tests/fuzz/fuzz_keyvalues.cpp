// Fuzz target for the key/value grammar and for JobInfo built from arbitrary
// parameter and job-key strings. The input is read three ways: as UTF-8, and
// as raw UTF-32 and UTF-16 code units (lone surrogates and values beyond
// Unicode included). Besides not crashing, hanging or leaking, the results must
// keep the grammar's invariants.
#include "capture/JobInfo.h"
#include "capture/KeyValues.h"
#include "platform/TextConversion.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace Quillet;

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool IsScalarValue(wchar_t c)
{
    const auto value = static_cast<std::uint32_t>(c);
    return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
}

void CheckGrammar(const std::wstring& text)
{
    KeyValueMap out{{L"stale", L"entry"}};
    const std::int32_t count = ParseKeyValues(text, out);
    Require(count >= 0);
    Require(static_cast<std::size_t>(count) >= out.size());
    // Every pair ends on at least one UTF-16 code unit of its own.
    Require(static_cast<std::size_t>(count) <= ToUtf16(text).size());
    if (text.find_first_not_of(L" \t") == std::wstring::npos)
        Require(count == 0);
    for (const auto& [key, value] : out) {
        // A key ends at a blank or "=", except that a "=" may open it.
        Require(key.find_first_of(L" \t") == std::wstring::npos);
        Require(key.find(L'=', 1) == std::wstring::npos);
        // Blanks only inside quotes, and a quoted value holds no quote.
        Require(value.find_first_of(L" \t") == std::wstring::npos ||
                value.find(L'"') == std::wstring::npos);
        for (const std::wstring* part : {&key, &value})
            for (wchar_t c : *part)
                Require(IsScalarValue(c));
    }

    // The same text again gives the same result.
    KeyValueMap again;
    Require(ParseKeyValues(text, again) == count && again == out);
}

void CheckJobInfo(const std::wstring& text)
{
    JobInfo job(text);
    // Without a "docname" the whole string is the document.
    Require(job.GetDocName().empty() == text.empty());
    job.intent = L"i";

    const std::wstring docName = job.GetDocName();
    const bool parsed = job.Parse(text);
    KeyValueMap keys;
    ParseKeyValues(text, keys);
    if (keys.count(L"handle") == 0)
        Require(parsed);
    if (keys.count(L"docname") == 0)
        Require(job.GetDocName() == docName);
    Require(!job.useStandardInput || job.GetPrintJobFile().empty());
    Require(job.intent == L"i");
    // Looks at the file system only; opening is left out, as a fuzzed path
    // could name a device.
    job.IsDataSourceReady();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::wstring fromUtf8 = FromUtf8(std::string(reinterpret_cast<const char*>(data), size));

    std::wstring utf32(size / sizeof(wchar_t), L'\0');
    if (!utf32.empty())
        std::memcpy(utf32.data(), data, utf32.size() * sizeof(wchar_t));

    std::u16string units(size / sizeof(char16_t), u'\0');
    if (!units.empty())
        std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    std::wstring fromUtf16 = FromUtf16(units.data(), units.size());

    for (const std::wstring* text : {&fromUtf8, &utf32, &fromUtf16}) {
        CheckGrammar(*text);
        CheckJobInfo(*text);
    }
    return 0;
}
