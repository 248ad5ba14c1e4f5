// PagePlan: the share of a run's pages among its Ghostscript processes and
// the switches that give each process its share.
#include "engine/PagePlan.h"

#include "platform/FileHandle.h"

#include <algorithm>
#include <string>

namespace Quillet {

namespace {

// Pages from here on are not shared: their lists would pass the integers' end.
constexpr std::int32_t kFarPage = 1 << 30;

// The part of a job file's start, and of its end, that is searched for the
// page count it declares.
constexpr std::size_t kCommentSpan = 4096;

std::wstring Number(std::int32_t value)
{
    return std::to_wstring(value);
}

/// The "%%Pages:" comment lines of text: their count (0 for "(atend)"),
/// the first's into first and the last's into last; -1 where none. A comment
/// counts only at the start of a line.
void FindPageComments(const std::string& text, std::int64_t& first, std::int64_t& last)
{
    static const char kKey[] = "%%Pages:";
    first = last = -1;
    for (std::size_t at = text.find(kKey); at != std::string::npos; at = text.find(kKey, at + 1)) {
        if (at > 0 && text[at - 1] != '\n' && text[at - 1] != '\r')
            continue;
        std::size_t i = at + sizeof kKey - 1;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        std::int64_t value = 0;
        const std::size_t digits = i;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < (1 << 30); ++i)
            value = value * 10 + (text[i] - '0');
        if (i == digits && text.compare(i, 7, "(atend)") != 0)
            continue;  // neither a count nor deferred to the trailer
        if (first < 0)
            first = value;
        last = value;
    }
}

std::string ReadPart(Platform::NativeHandle source, std::uint64_t offset)
{
    std::string text(kCommentSpan, '\0');
    std::size_t count = 0;
    if (!Platform::ReadAt(source, offset, text.data(), text.size(), count))
        count = 0;
    text.resize(count);
    return text;
}

}  // namespace

std::int32_t ReadDeclaredPageCount(Platform::NativeHandle source)
{
    // Read where the job's own reading does not move: a stream cannot be
    // looked at ahead, so only a regular file tells.
    std::uint64_t length = 0;
    if (!Platform::GetFileLength(source, length))
        return 0;
    std::int64_t first = -1, last = -1;
    FindPageComments(ReadPart(source, 0), first, last);
    if (first == 0) {
        // "(atend)": the trailer at the file's end has the count.
        if (length > kCommentSpan)
            FindPageComments(ReadPart(source, length - kCommentSpan), first, last);
        first = last;
    }
    return first > 0 ? static_cast<std::int32_t>(first) : 0;
}

bool PagePlan::SharingPays(std::int32_t pages, const ShareCost& cost, bool interpretedOnce)
{
    if (cost.pagePixels <= 0)
        return true;
    const double pageMs = cost.pagePixels * kNsPerPixel / 1e6 + (interpretedOnce ? kPageInterpretMs : 0);
    // Two processes save half the pages' time; more save more, but need
    // more pages to pay for each.
    return pages * pageMs / 2 >= kShareMargin * cost.startupMs;
}

PagePlan::PagePlan(Kind kind, const PageList& pages, std::int32_t workers, std::int32_t knownPages,
                   const ShareCost& cost)
    : kind(kind), pages(pages), cost(cost)
{
    const std::int32_t range = pages.GetCount();
    Part whole;
    whole.end = range;
    parts.assign(1, whole);
    if (kind == Kind::Ranges) {
        // Given a list of several ranges, the PDF interpreter says nothing of
        // the document's length: the pages listed are cut now (those past
        // the document's end cost their process nothing).
        if (!pages.IsContiguous() && range != 0) {
            spanSet = true;
            span = range;
            Cut(workers);
        }
        return;
    }

    // Pages left to render, where known: never more workers than that.
    std::int32_t left = range;
    if (knownPages > 0) {
        const std::int32_t inJob = pages.CountUpTo(knownPages);
        left = left != 0 ? std::min(left, inJob) : inJob;
    }
    std::int32_t count = std::clamp(workers, 1, kMaxWorkers);
    if (left != 0 || knownPages > 0)
        count = left < kMinPagesToShare || !SharingPays(left, cost, false) ? 1 : std::min(count, left);
    // Page numbers near the integers' end stay with one worker, whose
    // switches name no page past the range's start.
    if (count == 1 || pages.GetFirst() > kFarPage)
        return;

    // Two workers of one range take the odd and the even pages, which
    // Ghostscript can be told without a list; more, or those of a list of
    // several ranges, get lists of the pages that fit a switch, the rest of
    // which (part of the list itself) is worker 0's.
    const bool plain = pages.IsContiguous();
    std::int32_t listed = range;
    if (count > 2 || !plain) {
        const std::int32_t budget =
            kListCharacters - (plain ? 0 : static_cast<std::int32_t>(pages.Text().size()));
        const std::int32_t width =
            static_cast<std::int32_t>(Number(pages.GetDocumentPage(count * kListCharacters + 1)).size()) + 1;
        const std::int32_t fit = count * (budget / width);
        listed = range != 0 ? std::min(range, fit) : fit;
    }
    parts.assign(static_cast<std::size_t>(count), Part());
    for (std::int32_t w = 0; w < count; ++w) {
        Part& part = parts[static_cast<std::size_t>(w)];
        part.start = w + 1;
        part.step = count;
        part.end = listed;
    }
    if ((count > 2 || !plain) && (range == 0 || range > listed)) {
        parts[0].tailFrom = listed + 1;
        parts[0].tailEnd = range;
    }
}

std::int32_t PagePlan::StrideCount(const Part& part)
{
    return part.end >= part.start ? (part.end - part.start) / part.step + 1 : 0;
}

std::vector<std::wstring> PagePlan::GetPageSwitches(std::int32_t worker) const
{
    const Part& part = parts.at(static_cast<std::size_t>(worker));
    const auto page = [this](std::int32_t k) { return pages.GetDocumentPage(k); };
    const bool plain = pages.IsContiguous();
    std::vector<std::wstring> switches;
    if (kind == Kind::Ranges && plain) {
        // The PDF interpreter reads no page outside these.
        if (page(part.start) > 1)
            switches.push_back(L"-dFirstPage=" + Number(page(part.start)));
        if (part.end != 0)
            switches.push_back(L"-dLastPage=" + Number(page(part.end)));
        return switches;
    }
    std::wstring list;
    if (part.step == 1) {
        if (plain && page(part.start) == 1 && part.end == 0)
            return switches;  // every page
        list = pages.Text(part.start, part.end);
    } else if (part.step == 2 && plain) {
        const std::int32_t from = page(part.start);
        list = std::wstring(from % 2 != 0 ? L"odd:" : L"even:") + Number(from) + L"-" +
               (part.end != 0 ? Number(page(part.end)) : std::wstring());
    } else {
        for (std::int32_t k = part.start; k <= part.end; k += part.step)
            list += (list.empty() ? L"" : L",") + Number(page(k));
        if (part.tailFrom != 0)
            list += (list.empty() ? L"" : L",") + pages.Text(part.tailFrom, part.tailEnd);
    }
    // Ghostscript interprets every page of the job and renders only these
    // (the PDF interpreter reads only these).
    switches.push_back(L"-sPageList=" + list);
    return switches;
}

bool PagePlan::Locate(std::int32_t k, std::int32_t& worker, std::int32_t& index) const
{
    for (std::size_t w = 0; w < parts.size(); ++w) {
        const Part& part = parts[w];
        worker = static_cast<std::int32_t>(w);
        if (k >= part.start && (k - part.start) % part.step == 0 && (part.end == 0 || k <= part.end)) {
            index = (k - part.start) / part.step + 1;
            return true;
        }
        if (part.tailFrom != 0 && k >= part.tailFrom && (part.tailEnd == 0 || k <= part.tailEnd)) {
            index = StrideCount(part) + k - part.tailFrom + 1;
            return true;
        }
    }
    return false;
}

std::int32_t PagePlan::GetLastPageOf(std::int32_t worker) const
{
    const Part& part = parts.at(static_cast<std::size_t>(worker));
    if (part.tailFrom != 0)
        return part.tailEnd;
    if (part.end == 0)
        return 0;
    return part.start + (StrideCount(part) - 1) * part.step;
}

bool PagePlan::SetPageSpan(std::int32_t from, std::int32_t to, std::int32_t maxWorkers)
{
    if (spanSet || kind != Kind::Ranges)
        return false;
    spanSet = true;
    if (from != pages.GetFirst() || to < from)
        return false;
    span = to - from + 1;
    return Cut(maxWorkers);
}

bool PagePlan::Cut(std::int32_t maxWorkers)
{
    const std::int32_t count = std::min(maxWorkers, span);
    if (span < kMinPagesToCut || count < 2 || !SharingPays(span, cost, true))
        return false;
    // Equal contiguous parts; the last one keeps the range's own end, so
    // that a count that was wrong never loses a page.
    const std::int32_t size = (span + count - 1) / count;
    const std::int32_t used = (span + size - 1) / size;
    const std::int32_t rangeEnd = parts[0].end;
    parts.assign(static_cast<std::size_t>(used), Part());
    for (std::int32_t w = 0; w < used; ++w) {
        Part& part = parts[static_cast<std::size_t>(w)];
        part.start = w * size + 1;
        part.end = w + 1 < used ? (w + 1) * size : rangeEnd;
    }
    return true;
}

}  // namespace Quillet
