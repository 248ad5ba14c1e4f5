// PagePlan: how the pages of one run are shared among its Ghostscript
// processes, and which file of which process each page is.
#pragma once

#include "engine/PageList.h"
#include "platform/ZTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Quillet {

/// What a page and a process cost, for whether sharing pays. Measured on
/// the 2-core development machine with png16m pages of real documents:
/// a page costs some 20 ms to interpret and 36 ns a pixel to render and
/// write (a letter page at 150 dpi: about 95 ms; at 72 dpi: 37 ms), and
/// a process some 100 ms to start and open a document. Sharing pays when
/// the time it saves is PagePlan::kShareMargin starts or more: a second process
/// competes for memory and caches, and its start is often paid twice
/// (a PDF's other processes open the document again).
struct PageShareCost {
    /// Pixels of one page; 0 when not known: the page counts alone decide.
    double pagePixels = 0;
    /// A process's start, as measured on this machine.
    double startupMs = 100;
};

/// The pages of one run and the Ghostscript processes ("workers", numbered
/// from 0) that render them.
///
/// A run renders the document pages of a PageList (every page, a range, or a
/// list). Its k-th page (k from 1) is the list's k-th page, and each worker
/// writes its pages into files counted from 1 in its own order, so a page is
/// found as (worker, index). Two ways to share:
///  - Interleaved: for a job each worker interprets whole (PostScript, a job
///    on the input). Worker w renders the run's pages k with (k - 1) mod W
///    == w and only interprets the others; with more than two workers, the
///    pages beyond what their lists can hold (kListCharacters) are all
///    worker 0's.
///  - Ranges: for a PDF read from its file, whose other pages Ghostscript
///    does not read at all. Worker 0 starts alone with the whole range; once
///    the run's page count is known (SetPageSpan), the range is cut into
///    contiguous parts for the workers, worker 0 keeps the first part and is
///    ended after its last page. A list of several ranges and a closed end
///    is cut at once by the pages it lists (a PDF interpreter given a list
///    says nothing of the document's length); one open at its end stays
///    with worker 0.
/// A plan of one worker renders everything in that worker.
///
/// Plain value; used by the run's monitor thread only once the run started.
class PagePlan {
public:
    enum class Kind { Interleaved, Ranges };

    /// Fewer pages than this stay on one process: the start-up of another
    /// Ghostscript costs more than it saves (see the README's figures).
    static constexpr std::int32_t kMinPagesToShare = 2;
    /// A PDF's other processes start only once the first one has opened
    /// the document, so a cut pays from this many pages on (two pages: 1.05
    /// to 1.1 of one process; three: 0.76).
    static constexpr std::int32_t kMinPagesToCut = 3;
    /// At most this many processes, whatever the processor count says.
    static constexpr std::int32_t kMaxWorkers = 64;
    /// Ghostscript takes a switch of up to 2047 characters: more than two
    /// interleaved workers get page lists of about this length, and the
    /// pages beyond them are worker 0's alone.
    static constexpr std::int32_t kListCharacters = 1800;

    using ShareCost = PageShareCost;
    static constexpr double kPageInterpretMs = 20;
    static constexpr double kNsPerPixel = 36;
    static constexpr double kShareMargin = 2;
    /// Whether pages of cost are worth two processes; interpretedOnce when
    /// each process reads only its own pages (a PDF's ranges), so that the
    /// interpretation is shared too.
    static bool SharingPays(std::int32_t pages, const ShareCost& cost, bool interpretedOnce);

    PagePlan() = default;
    /// A plan for the listed pages of a job of knownPages pages (0: not
    /// known), for at most workers processes. Interleaved plans get their
    /// workers now: never more than the pages the list and knownPages leave,
    /// and one when those are fewer than kMinPagesToShare. Ranges plans
    /// start with one worker, unless the list is cut at once (above).
    /// With cost, a job whose pages are known is shared only where
    /// SharingPays.
    PagePlan(Kind kind, const PageList& pages, std::int32_t workers, std::int32_t knownPages,
             const ShareCost& cost = ShareCost());

    Kind GetKind() const { return kind; }
    const PageList& GetPages() const { return pages; }
    std::int32_t GetFirstPage() const { return pages.GetFirst(); }
    /// The last page listed (0: to the end).
    std::int32_t GetLastPage() const { return pages.GetLast(); }
    /// The workers the plan has now (a Ranges plan gains some in SetPageSpan).
    std::int32_t GetWorkerCount() const { return static_cast<std::int32_t>(parts.size()); }
    /// The document page of the run's k-th page.
    std::int32_t GetDocumentPage(std::int32_t k) const { return pages.GetDocumentPage(k); }
    /// The run's page that document page is; 0 for a page not listed.
    std::int32_t GetRunPage(std::int32_t page) const { return pages.GetRunPage(page); }

    /// The Ghostscript switches that give worker w its pages (none for a
    /// worker of every page).
    std::vector<std::wstring> GetPageSwitches(std::int32_t worker) const;
    /// Which worker renders the run's k-th page, and as its how-manieth
    /// file; false for a page beyond the range.
    bool Locate(std::int32_t k, std::int32_t& worker, std::int32_t& index) const;
    /// The run's page k after which worker w has nothing more to render, 0
    /// while that is open.
    std::int32_t GetLastPageOf(std::int32_t worker) const;
    /// The run's first page k that worker w renders.
    std::int32_t GetFirstPageOf(std::int32_t worker) const
    {
        return parts.at(static_cast<std::size_t>(worker)).start;
    }

    /// Ranges plans of one range: the run will render document pages from
    /// to to (to is the document's last page, or the range's last when that
    /// comes first), which worker 0 reports on opening the document. Cuts the
    /// range for up to maxWorkers workers; false when it stays with one (also
    /// where sharing would not pay, and for a list cut at once).
    /// Only the first call counts.
    bool SetPageSpan(std::int32_t from, std::int32_t to, std::int32_t maxWorkers);
    /// The run's page count once SetPageSpan gave it, else 0.
    std::int32_t GetPageSpan() const { return span; }

private:
    /// The run's pages k = start, start + step, ... up to end (0: open) in
    /// list order, then pages tailFrom to tailEnd (tailFrom 0: none;
    /// tailEnd 0: open).
    struct Part {
        std::int32_t start = 1;
        std::int32_t step = 1;
        std::int32_t end = 0;
        std::int32_t tailFrom = 0;
        std::int32_t tailEnd = 0;
    };
    /// Pages of part's stride (0 when it is open).
    static std::int32_t StrideCount(const Part& part);
    /// Cuts the run's pages 1 to span into contiguous parts for up to
    /// maxWorkers workers, where that pays; false when they stay with one.
    bool Cut(std::int32_t maxWorkers);

    Kind kind = Kind::Interleaved;
    PageList pages;
    std::int32_t span = 0;
    bool spanSet = false;
    ShareCost cost;
    std::vector<Part> parts{Part()};
};

/// The page count a PostScript job file declares in its "%%Pages:" comment
/// (the header's, or for "(atend)" the trailer's); 0 when source is no
/// regular file or declares none. A hint for how many processes to start:
/// no plan relies on it for which pages exist.
std::int32_t ReadDeclaredPageCount(Platform::NativeHandle source);

}  // namespace Quillet
