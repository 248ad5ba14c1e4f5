// PageList: the document pages a run renders (every page, a range, or a
// list such as "1,3,5-9"), and the numbering between the run's pages and
// the document's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Quillet {

/// The pages of the document a run renders, in page order: ranges that are
/// sorted, apart and not touching, the last of which may be open (to the
/// document's end). The run's k-th page (k from 1) is the k-th page of the
/// list; past the end of a closed list, page k is its last page plus the
/// excess, so that the numbering keeps rising and such a page is known to
/// lie past the list.
///
/// Plain value.
class PageList {
public:
    struct Range {
        std::int32_t first = 1;
        std::int32_t last = 0;  // 0: to the document's end
    };

    /// The longest list, in characters once sorted and merged: longer ones
    /// are refused, so that every process's share of it fits one of
    /// Ghostscript's switches with room to spare.
    static constexpr std::size_t kMaxTextLength = 1000;
    /// The largest page number a list may name.
    static constexpr std::int32_t kMaxPage = 1 << 30;

    /// Every page of the document.
    PageList() = default;
    /// Pages first to last (last 0: to the end); first is 1 or more and last
    /// 0 or at least first.
    PageList(std::int32_t first, std::int32_t last);

    /// Reads "1,3,5-9,12-" (blanks around the numbers allowed): the items in
    /// any order, repeated or overlapping ones merged. False, with why in
    /// words, for an empty list or item, a page below 1 or past kMaxPage, a
    /// range that ends before it starts, anything else than digits, commas
    /// and dashes, and a list longer than kMaxTextLength.
    static bool Parse(const std::wstring& text, PageList& list, std::string& why);

    /// Every page of the document, from 1 to its end.
    bool IsEveryPage() const { return ranges.size() == 1 && ranges[0].first == 1 && ranges[0].last == 0; }
    /// One range of consecutive pages.
    bool IsContiguous() const { return ranges.size() == 1; }
    std::int32_t GetFirst() const { return ranges.front().first; }
    /// The last page listed; 0 for a list open at its end.
    std::int32_t GetLast() const { return ranges.back().last; }
    /// Pages listed; 0 for a list open at its end.
    std::int32_t GetCount() const;
    const std::vector<Range>& GetRanges() const { return ranges; }

    /// The document page of the run's page k (k from 1).
    std::int32_t GetDocumentPage(std::int32_t k) const;
    /// The run's page that document page is; 0 when the list has no such page.
    std::int32_t GetRunPage(std::int32_t page) const;
    /// How many listed pages are page or lower.
    std::int32_t CountUpTo(std::int32_t page) const;
    /// The run's pages from to to (to 0: to the end) as a list of document
    /// pages, "5-9,12": for Ghostscript's PageList.
    std::wstring Text(std::int32_t from, std::int32_t to) const;
    /// The whole list as Text gives it: "1,3,5-9,12-".
    std::wstring Text() const { return Text(1, 0); }

private:
    std::vector<Range> ranges{Range()};
};

}  // namespace Quillet
