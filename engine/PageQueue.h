// PageQueue: the table of a run's finished pages, the detection of repeated
// copies among them and the record of which pages the host was told of.
#pragma once

#include <quillet/BitmapFile.h>
#include <quillet/IRIPBase.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

namespace Quillet {

/// The pages of a run by their place in it (1 is its first page, the range's
/// start with a page range), and how many of them make one copy: a
/// PostScript job may print its copies as pages again, which the host sees
/// as one copy and a count of copies.
///
/// Owned by the engine. Add and Settle are called by the run's monitor
/// thread; the rest by any thread. A lock of its own guards the table; it is
/// held only for short steps, never while a page file is read or host code
/// runs, so that a page callback may wait for another host thread that asks
/// for a page or the count.
class PageQueue {
public:
    /// Stores the run's page k (always the count of pages stored + 1 within
    /// a run) and updates the copy detection: with copies false every page
    /// is the document's own. Compares page files (outside the lock).
    void Add(std::int32_t k, const BitmapFile& page, bool copies);
    /// The run ended with produced pages: a last copy that is not whole
    /// means there were no copies (what looked like the start of a repeat
    /// was a chance match, [blank, text, blank]).
    void Settle(std::int32_t produced);
    /// Pages of one copy as detected so far (at least 1).
    std::int32_t GetPagesPerCopy() const;
    /// More than one copy of more than one page, or the header's word for
    /// it (collate with more than one copy) when a copy has several pages.
    bool IsCollated(bool headerCollate, std::int64_t headerCopies) const;
    /// Passed as an orientation: each page keeps the one it was stored with.
    static constexpr std::int32_t kOwnOrientation = -1;

    /// The record of the run's page k, of the first copy and among the
    /// produced pages, with orientation set; false when it is none of them.
    bool Get(std::int32_t k, std::int32_t produced, std::int32_t orientation, BitmapFile& page);

    /// Sets the host's callback for the pages to come, and announces the
    /// pages produced before it again from the first.
    void SetNotify(IPageNotify* notify);
    /// The next page due to the callback among the pages up to last within
    /// the first copy, with its record (orientation set): marked announced.
    /// False when none is due or there is no callback.
    bool NextDue(std::int32_t last, std::int32_t orientation, IPageNotify*& notify, std::int32_t& k,
                 BitmapFile& record);

    /// Deletes every page file and empties the table; false when a file
    /// could not be deleted.
    bool Clear();

private:
    mutable std::mutex lock;
    std::map<std::int32_t, BitmapFile> pages;
    std::int32_t pagesPerCopy = 1;
    IPageNotify* notify = nullptr;
    std::int32_t lastNotified = 0;
};

}  // namespace Quillet
