// PageQueue: the page table, copy detection and the pages due to the host.
#include "engine/PageQueue.h"

#include <algorithm>

namespace Quillet {

void PageQueue::Add(std::int32_t k, const BitmapFile& page, bool copies)
{
    // Stored under the lock; compared with the pages of the first copy
    // outside it, on copies of their records: reading two page files may take
    // long, and a host thread asking for the count meanwhile must not wait
    // for it. Only the monitor thread adds pages, and a Clear from another
    // thread comes only once the run adds no more, so what is compared is
    // still the table's when the result is stored.
    BitmapFile added(page);
    BitmapFile repeated;
    BitmapFile start;
    {
        std::lock_guard<std::mutex> guard(lock);
        pages[k] = page;
        if (!copies) {
            pagesPerCopy = std::max(pagesPerCopy, k);  // every page is the document's own
            return;
        }
        if (k < 2 || static_cast<std::size_t>(k) > pages.size())
            return;
        // The page of the first copy that this page repeats if the period holds.
        repeated = pages[(k - 1) % pagesPerCopy + 1];
        start = pages[1];
    }
    if (repeated == added)
        return;
    const std::int32_t perCopy = start == added ? k - 1  // a new copy starts here
                                                : k;     // everything so far is one copy
    std::lock_guard<std::mutex> guard(lock);
    pagesPerCopy = perCopy;
}

void PageQueue::Settle(std::int32_t produced)
{
    std::lock_guard<std::mutex> guard(lock);
    if (produced > 0 && produced % pagesPerCopy != 0)
        pagesPerCopy = produced;
}

std::int32_t PageQueue::GetPagesPerCopy() const
{
    std::lock_guard<std::mutex> guard(lock);
    return pagesPerCopy;
}

bool PageQueue::IsCollated(bool headerCollate, std::int64_t headerCopies) const
{
    std::lock_guard<std::mutex> guard(lock);
    if (pagesPerCopy > 1) {
        if (headerCollate && static_cast<std::uint64_t>(headerCopies) > 1)
            return true;
        return static_cast<std::int64_t>(pages.size()) / pagesPerCopy > 1;
    }
    return headerCollate;
}

bool PageQueue::Get(std::int32_t k, std::int32_t produced, std::int32_t orientation, BitmapFile& page)
{
    std::lock_guard<std::mutex> guard(lock);
    if (k > pagesPerCopy || k > produced)
        return false;
    const auto entry = pages.find(k);
    if (entry == pages.end())
        return false;
    page = entry->second;
    if (orientation != kOwnOrientation)
        page.SetOrientation(orientation);
    return true;
}

void PageQueue::SetNotify(IPageNotify* callback)
{
    std::lock_guard<std::mutex> guard(lock);
    lastNotified = 0;
    notify = callback;
}

bool PageQueue::NextDue(std::int32_t last, std::int32_t orientation, IPageNotify*& callback, std::int32_t& k,
                        BitmapFile& record)
{
    // Only pages of the first copy are announced, as Get gives them: the copy
    // only grows, so a page within it stays within it.
    std::lock_guard<std::mutex> guard(lock);
    if (notify == nullptr || lastNotified >= std::min(last, pagesPerCopy))
        return false;
    k = ++lastNotified;
    BitmapFile& entry = pages[k];
    if (orientation != kOwnOrientation)
        entry.SetOrientation(orientation);
    record = entry;
    callback = notify;
    return true;
}

bool PageQueue::Clear()
{
    std::lock_guard<std::mutex> guard(lock);
    try {
        for (auto& entry : pages)
            entry.second.DeleteBitmapFile();
        pages.clear();
        pagesPerCopy = 1;
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace Quillet
