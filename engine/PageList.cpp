// PageList: reading a list of pages, and the numbering between a run's pages
// and the document's.
#include "engine/PageList.h"

#include "platform/TextConversion.h"

#include <algorithm>

namespace Quillet {

namespace {

// A list quoted in a reason is cut to this many characters.
constexpr std::size_t kQuotedLength = 40;

std::string Quoted(const std::wstring& text)
{
    std::wstring cut = text.substr(0, kQuotedLength);
    for (wchar_t& c : cut)
        if (c < L' ' || c == 0x7f)
            c = L'?';
    return "\"" + ToUtf8(cut) + (text.size() > kQuotedLength ? "...\"" : "\"");
}

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

/// Reads the digits at text[at...] (after blanks) into page; -1 for none,
/// kMaxPage + 1 for a number past kMaxPage.
std::int64_t ReadPage(const std::wstring& text, std::size_t& at)
{
    while (at < text.size() && IsBlank(text[at]))
        ++at;
    std::int64_t page = -1;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at)
        page = std::min<std::int64_t>((page < 0 ? 0 : page) * 10 + (text[at] - L'0'), PageList::kMaxPage + 1LL);
    while (at < text.size() && IsBlank(text[at]))
        ++at;
    return page;
}

}  // namespace

PageList::PageList(std::int32_t first, std::int32_t last)
{
    ranges[0].first = first;
    ranges[0].last = last;
}

bool PageList::Parse(const std::wstring& text, PageList& list, std::string& why)
{
    const std::string quoted = Quoted(text);
    std::vector<Range> items;
    std::size_t at = 0;
    do {
        const std::int64_t first = ReadPage(text, at);
        std::int64_t last = first;
        if (at < text.size() && text[at] == L'-') {
            ++at;
            last = ReadPage(text, at);
            if (last < 0)
                last = 0;  // "A-": to the end
        }
        if (first < 0 || (at < text.size() && text[at] != L',')) {
            why = text.find_first_not_of(L" \t") == std::wstring::npos
                      ? "the page list is empty"
                      : "the page list " + quoted + " is not a list of pages such as \"1,3,5-9\"";
            return false;
        }
        if (first == 0) {
            why = "the page list " + quoted + " names page 0: pages count from 1";
            return false;
        }
        if (std::max(first, last) > kMaxPage) {
            why = "the page list " + quoted + " names a page past the largest page number " +
                  std::to_string(kMaxPage);
            return false;
        }
        if (last != 0 && last < first) {
            why = "the page list " + quoted + " holds the range " + std::to_string(first) + " to " +
                  std::to_string(last) + ", which ends before it starts";
            return false;
        }
        Range range;
        range.first = static_cast<std::int32_t>(first);
        range.last = static_cast<std::int32_t>(last);
        items.push_back(range);
    } while (at++ < text.size());

    // Sorted by their first pages; one that overlaps or touches the one
    // before joins it.
    std::sort(items.begin(), items.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    list.ranges.clear();
    for (const Range& item : items) {
        Range* previous = list.ranges.empty() ? nullptr : &list.ranges.back();
        if (previous != nullptr && (previous->last == 0 || item.first <= previous->last + 1)) {
            if (previous->last != 0 && (item.last == 0 || item.last > previous->last))
                previous->last = item.last;
        } else {
            list.ranges.push_back(item);
        }
    }
    const std::size_t length = list.Text().size();
    if (length > kMaxTextLength) {
        why = "the page list " + quoted + " is " + std::to_string(length) +
              " characters long once sorted and merged, more than " + std::to_string(kMaxTextLength);
        list = PageList();
        return false;
    }
    return true;
}

std::int32_t PageList::GetCount() const
{
    if (GetLast() == 0)
        return 0;
    std::int64_t count = 0;
    for (const Range& range : ranges)
        count += range.last - range.first + 1;
    return static_cast<std::int32_t>(count);
}

std::int32_t PageList::GetDocumentPage(std::int32_t k) const
{
    std::int64_t before = 0;  // listed pages before the range
    for (const Range& range : ranges) {
        if (range.last == 0 || k - before <= range.last - range.first + 1)
            return static_cast<std::int32_t>(std::min<std::int64_t>(range.first + (k - before) - 1, INT32_MAX));
        before += range.last - range.first + 1;
    }
    return static_cast<std::int32_t>(std::min<std::int64_t>(GetLast() + (k - before), INT32_MAX));
}

std::int32_t PageList::GetRunPage(std::int32_t page) const
{
    std::int64_t before = 0;
    for (const Range& range : ranges) {
        if (page < range.first)
            return 0;
        if (range.last == 0 || page <= range.last)
            return static_cast<std::int32_t>(before + page - range.first + 1);
        before += range.last - range.first + 1;
    }
    return 0;
}

std::int32_t PageList::CountUpTo(std::int32_t page) const
{
    std::int64_t count = 0;
    for (const Range& range : ranges) {
        if (page < range.first)
            break;
        count += (range.last == 0 || page <= range.last ? page : range.last) - range.first + 1;
    }
    return static_cast<std::int32_t>(count);
}

std::wstring PageList::Text(std::int32_t from, std::int32_t to) const
{
    std::wstring text;
    std::int64_t before = 0;
    for (const Range& range : ranges) {
        const std::int64_t size = range.last == 0 ? INT32_MAX : range.last - range.first + 1;
        // The part of the range the run's pages from to to cover.
        const std::int64_t a = std::max<std::int64_t>(from - before, 1);
        const std::int64_t b = to == 0 ? size : std::min<std::int64_t>(to - before, size);
        before += size;
        if (a > b)
            continue;
        const std::int64_t first = range.first + a - 1;
        text += (text.empty() ? L"" : L",") + std::to_wstring(first);
        if (range.last == 0 && to == 0)
            text += L"-";
        else if (b > a)
            text += L"-" + std::to_wstring(range.first + b - 1);
        if (range.last == 0)
            break;
    }
    return text;
}

}  // namespace Quillet
