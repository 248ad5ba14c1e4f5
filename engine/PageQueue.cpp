// The page table: pages handed over by the runner, the detection of repeated
// copies, and the delivery of pages to the host.
#include "engine/RIPEngine.h"

#include "engine/OutputFormats.h"
#include "engine/PageCheck.h"
#include "engine/RIPEngineImpl.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"

#include <algorithm>

namespace Quillet {

void RIPEngine::AddPage(std::int32_t pageNumber, const BitmapFile& page)
{
    // Stored under the lock; compared with the pages of the first copy
    // outside it, on copies of their records: reading two page files may take
    // long, and a host thread asking for the count meanwhile must not wait
    // for it. Only this thread changes the table while the run goes on (a
    // DeletePages from another thread first waits for the run's end), so what
    // is compared is still the table's when the result is stored.
    BitmapFile added(page);
    BitmapFile repeated;
    BitmapFile start;
    {
        std::lock_guard<std::mutex> guard(impl->GetLock());
        pages[pageNumber] = page;
        if (!detectCopies) {
            pagesPerCopy = std::max(pagesPerCopy, pageNumber);  // every page is the document's own
            return;
        }
        if (pageNumber < 2 || static_cast<std::size_t>(pageNumber) > pages.size())
            return;
        // The page of the first copy that this page repeats if the period holds.
        repeated = pages[(pageNumber - 1) % pagesPerCopy + 1];
        start = pages[1];
    }
    if (repeated == added)
        return;
    const std::int32_t perCopy = start == added ? pageNumber - 1  // a new copy starts here
                                                : pageNumber;     // everything so far is one copy
    std::lock_guard<std::mutex> guard(impl->GetLock());
    pagesPerCopy = perCopy;
}

void RIPEngine::FinishRun()
{
    std::int32_t produced = 0;
    {
        std::lock_guard<std::mutex> guard(impl->GetLock());
        // A last copy that is not whole means there were no copies: what
        // looked like the start of a repeat was a chance match ([blank,
        // text, blank]).
        produced = impl->GetPagesProduced();
        if (produced > 0 && produced % pagesPerCopy != 0)
            pagesPerCopy = produced;
    }
    AnnouncePages(produced);
}

void RIPEngine::AnnouncePages(std::int32_t last)
{
    // Announce every page not announced yet, also those produced before the
    // callback was registered. Only pages of the first copy are announced,
    // as GetPage and GetPageCount give them: the copy only grows, so a page
    // within it stays within it. None is announced once the run was stopped
    // (also from a callback). The header, when the job has one, was read
    // before the page was handed over; without one a page says portrait.
    // The table counts the run's pages; the host is given the document's
    // page numbers.
    //
    // The callback runs without the lock, on a copy of the page's record:
    // it may wait for another thread of the host that asks for the count or
    // a page, and it may empty the table (DeletePages). Only this thread
    // announces, so the pages keep their order.
    for (;;) {
        IPageNotify* notify = nullptr;
        BitmapFile record;
        std::int32_t pageNumber = 0;
        {
            std::lock_guard<std::mutex> guard(impl->GetLock());
            if (pageNotify == nullptr || lastNotifiedPage >= std::min(last, pagesPerCopy) ||
                impl->IsStopRequested())
                return;
            ++lastNotifiedPage;
            BitmapFile& entry = pages[lastNotifiedPage];
            if (!PagesHaveOwnOrientation())
                entry.SetOrientation(jobOrientation.load());
            record = entry;
            notify = pageNotify;
            pageNumber = impl->GetFirstPage() + lastNotifiedPage - 1;
        }
        notify->OnPageReady(pageNumber, record);
    }
}

bool RIPEngine::PagesHaveOwnOrientation() const
{
    // The monitor measured each page of a document we read ourselves.
    return !documentFile.empty() && HasPageCheck(GetOutputFormat());
}

std::int32_t RIPEngine::GetPagesPerCopy()
{
    std::lock_guard<std::mutex> guard(impl->GetLock());
    return pagesPerCopy;
}

bool RIPEngine::GetPage(std::int32_t pageNumber, BitmapFile& page)
{
    // The run's k-th page is the document's page pageNumber; with a page
    // range, the pages before its start are no pages of the run.
    const std::int32_t k = pageNumber - impl->GetFirstPage() + 1;
    if (pageNumber < 1 || k < 1)
        return false;
    // Wait for later pages while the detected copy is still shorter than the
    // page asked for: the page may yet turn out to belong to the first copy,
    // at the latest when the run ends.
    for (std::int32_t waitFor = k;; ++waitFor) {
        const bool more = impl->WaitForPage(waitFor);
        std::lock_guard<std::mutex> guard(impl->GetLock());
        if (k <= pagesPerCopy && k <= impl->GetPagesProduced()) {
            page = pages[k];
            if (!PagesHaveOwnOrientation())
                page.SetOrientation(jobOrientation.load());
            return true;
        }
        if (!more)
            return false;
    }
}

bool RIPEngine::GetPages(IPageNotify* notify, bool asynchronous)
{
    if (asynchronous && !impl->IsIdle()) {
        std::lock_guard<std::mutex> guard(impl->GetLock());
        lastNotifiedPage = 0;
        pageNotify = notify;
        return true;
    }
    // A callback may release the engine: it is then destroyed on return.
    SyncDelivery delivery(*this);
    const std::int32_t first = impl->GetFirstPage();
    for (std::int32_t n = first;; ++n) {
        BitmapFile record;
        if (!GetPage(n, record)) {
            const std::int32_t count = GetPageCount();
            return !(count == -1 || n - first < count);
        }
        if (notify != nullptr)
            notify->OnPageReady(n, record);
        if (releaseRequested)
            return false;
    }
}

bool RIPEngine::Release()
{
    if (impl->IsMonitorThread()) {
        // Inside an asynchronous callback: the monitor destroys the engine
        // once the callback has returned and the run has ended.
        impl->RequestRelease();
        return true;
    }
    if (deliveryThread == std::this_thread::get_id()) {
        // Inside a synchronous delivery: destroyed when GetPages returns.
        releaseRequested = true;
        impl->StopGhostscript();
        return true;
    }
    return Destroy();
}

bool RIPEngine::Destroy()
{
    return IRIPBase::Release();
}

RIPEngine::SyncDelivery::SyncDelivery(RIPEngine& engine) : engine(engine)
{
    engine.deliveryThread = std::this_thread::get_id();
}

RIPEngine::SyncDelivery::~SyncDelivery()
{
    engine.deliveryThread = std::thread::id();
    if (engine.releaseRequested)
        engine.Destroy();
}

bool RIPEngine::GetOutputFile(std::wstring& path)
{
    for (std::int32_t n = 1; impl->WaitForPage(n); ++n) {
    }
    std::wstring name;
    const std::wstring pattern = GetPagePattern();
    FormatString(name, pattern.c_str(), 1);
    path += name;
    return ZFileStorage(ZString(path)).Exists();
}

bool RIPEngine::DeletePages()
{
    // A run still going on would go on adding pages to the emptied table
    // under their old numbers, and the counts would no longer tell the truth:
    // it is ended first, as Stop ends it (from a page callback, the delivery
    // ends once the callback has returned). The header values stay the job's.
    impl->StopGhostscript();
    std::lock_guard<std::mutex> guard(impl->GetLock());
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
