// The C interface (quillet_c.h) over the C++ one: handles, UTF-8 text, result
// codes; every exception is caught here and becomes a code.
#include <quillet/quillet.h>
#include <quillet/quillet_c.h>

#include "engine/PageCheck.h"
#include "engine/PageList.h"
#include "platform/TextConversion.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

using namespace Quillet;

namespace {

/// How often a waiting quillet_next_page looks whether the run ended: the
/// end itself is announced by no callback.
constexpr std::chrono::milliseconds kEndPollInterval(50);

/// Pages announced on the library's monitor thread, kept for
/// quillet_next_page by their document page number.
class PageInbox : public IPageNotify {
public:
    void OnPageReady(std::int32_t pageNumber, BitmapFile& page) override
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            pages[pageNumber] = page;
        }
        arrived.notify_all();
    }

    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        pages.clear();
    }

    /// Takes page number when it has arrived.
    bool Take(std::int32_t number, BitmapFile& page)
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = pages.find(number);
        if (found == pages.end())
            return false;
        page = found->second;
        pages.erase(pages.begin(), std::next(found));
        return true;
    }

    /// Waits until a page arrives or the time is up.
    void Wait(std::chrono::steady_clock::time_point until)
    {
        std::unique_lock<std::mutex> guard(lock);
        if (pages.empty())
            arrived.wait_until(guard, until);
    }

private:
    std::mutex lock;
    std::condition_variable arrived;
    std::map<std::int32_t, BitmapFile> pages;
};

/// The wide text of a C string of UTF-8; a null pointer is refused.
bool TextOf(const char* value, std::wstring& text)
{
    if (value == nullptr)
        return false;
    text = FromUtf8(value);
    return true;
}

/// Copies text into a caller's buffer as quillet_failure promises.
std::size_t CopyOut(const std::string& text, char* buffer, std::size_t size)
{
    if (buffer != nullptr && size > 0) {
        const std::size_t length = std::min(text.size(), size - 1);
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
    }
    return text.size();
}

/// The service parameter string that names path and nothing else, as the
/// value of "docname" (and of "printjobfile" for a ".ps" file, its own print
/// job); false for a name the grammar cannot carry (a quote and a blank).
bool DocumentParameters(const std::wstring& path, std::wstring& params)
{
    const bool blank = path.find_first_of(L" \t") != std::wstring::npos;
    const bool quote = path.find(L'"') != std::wstring::npos;
    if (path.empty() || (blank && quote) || (quote && (path[0] == L'"' || path[0] == L'-')))
        return false;
    const std::wstring value = quote ? path : L"\"" + path + L"\"";
    params = L"docname=" + value;
    const std::size_t dot = path.rfind(L'.');
    if (dot != std::wstring::npos && path.find(L'/', dot) == std::wstring::npos && path.size() == dot + 3 &&
        (path[dot + 1] | 0x20) == L'p' && (path[dot + 2] | 0x20) == L's')
        params += L" printjobfile=" + value;
    return true;
}

}  // namespace

struct quillet_service {
    IRIPBase* rip = nullptr;
    std::wstring ijsManufacturer;
    std::wstring ijsModel;
    PageInbox inbox;
    /// The run's pages (its range or list), and the place in them of the
    /// next page quillet_next_page hands out.
    PageList pages;
    std::int32_t nextIndex = 1;
    std::int32_t NextPage() const { return pages.GetDocumentPage(nextIndex); }
    std::atomic<bool> stopped{false};
    /// A failure of this interface's own (an exception at the start), which
    /// takes the place of the service's record until the next start.
    std::mutex ownLock;
    std::int32_t ownStage = QUILLET_STAGE_NONE;
    std::string ownReason;

    void SetOwnFailure(const char* reason)
    {
        std::lock_guard<std::mutex> guard(ownLock);
        ownStage = QUILLET_STAGE_START;
        ownReason = reason;
    }

    /// The failure record: this interface's own, else the service's.
    std::int32_t Failure(std::string* reason, std::string* report)
    {
        {
            std::lock_guard<std::mutex> guard(ownLock);
            if (ownStage != QUILLET_STAGE_NONE) {
                if (reason != nullptr)
                    *reason = ownReason;
                return ownStage;
            }
        }
        RIPFailure failure;
        IRIPStatus* status = GetRIPStatus(rip);
        if (status == nullptr || !status->GetLastFailure(failure))
            return QUILLET_STAGE_NONE;
        if (reason != nullptr)
            *reason = ToUtf8(failure.reason);
        if (report != nullptr)
            *report = ToUtf8(failure.report);
        return failure.stage;
    }

    /// Fills page from a record; false when its path does not fit.
    bool Fill(std::int32_t number, const BitmapFile& record, quillet_page* page)
    {
        const std::string path = ToUtf8(record.GetFilePath());
        if (path.size() >= sizeof page->path)
            return false;
        std::memcpy(page->path, path.c_str(), path.size() + 1);
        page->number = number;
        page->orientation = record.Orientation();
        if (!PageFileSize(record.GetFilePath(), rip->GetOutputFormat(), page->width, page->height))
            page->width = page->height = 0;
        return true;
    }

    /// What a page that did not come means: the run ended well without it,
    /// or it failed or was stopped.
    int Missing()
    {
        return stopped || rip->GetPageCount() < 0 ? QUILLET_ERROR_RUN : QUILLET_END;
    }
};

namespace {

/// Runs body, turning every exception into a code: std::bad_alloc and a
/// refusal of the system (std::runtime_error) are QUILLET_ERROR_SYSTEM.
template <typename Body>
int Guarded(quillet_service* service, Body body)
{
    if (service == nullptr)
        return QUILLET_ERROR_ARGUMENT;
    try {
        return body(*service);
    } catch (const std::exception& e) {
        try {
            service->SetOwnFailure(e.what());
        } catch (...) {
        }
        return QUILLET_ERROR_SYSTEM;
    } catch (...) {
        return QUILLET_ERROR_SYSTEM;
    }
}

int Create(const std::wstring& params, quillet_service** out)
{
    auto* service = new (std::nothrow) quillet_service;
    if (service == nullptr)
        return QUILLET_ERROR_SYSTEM;
    service->rip = CreateRIPService(params);
    if (service->rip == nullptr) {
        delete service;
        return QUILLET_ERROR_SYSTEM;
    }
    *out = service;
    return QUILLET_OK;
}

}  // namespace

extern "C" {

const char* quillet_version(void)
{
    return QUILLET_VERSION_STRING;
}

int quillet_create(const char* path, quillet_service** service)
{
    if (service == nullptr)
        return QUILLET_ERROR_ARGUMENT;
    *service = nullptr;
    try {
        std::wstring document;
        std::wstring params;
        if (!TextOf(path, document) || !DocumentParameters(document, params))
            return QUILLET_ERROR_ARGUMENT;
        return Create(params, service);
    } catch (...) {
        return QUILLET_ERROR_SYSTEM;
    }
}

int quillet_create_from_parameters(const char* parameters, quillet_service** service)
{
    if (service == nullptr)
        return QUILLET_ERROR_ARGUMENT;
    *service = nullptr;
    try {
        std::wstring params;
        if (!TextOf(parameters, params) || params.empty())
            return QUILLET_ERROR_ARGUMENT;
        return Create(params, service);
    } catch (...) {
        return QUILLET_ERROR_SYSTEM;
    }
}

void quillet_release(quillet_service* service)
{
    if (service == nullptr)
        return;
    // Release stops the run and waits for its monitor, so no page is
    // announced to the inbox once it returns.
    try {
        service->rip->Release();
    } catch (...) {
    }
    delete service;
}

int quillet_set(quillet_service* service, int option, std::int64_t value)
{
    return Guarded(service, [&](quillet_service& s) -> int {
        IRIPBase& rip = *s.rip;
        const bool isInt = value >= INT32_MIN && value <= INT32_MAX;
        const auto v = static_cast<std::int32_t>(value);
        switch (option) {
        case QUILLET_FORMAT:
            if (value < QUILLET_FORMAT_BMP32B || value > QUILLET_FORMAT_PSWRITE)
                return QUILLET_ERROR_ARGUMENT;
            rip.SetOutputFormat(static_cast<RIPFormat>(v));
            return QUILLET_OK;
        case QUILLET_USE_CIE_COLOR:
            rip.SetUseCIEColor(value != 0);
            return QUILLET_OK;
        case QUILLET_SPLIT_MERGE:
            rip.SetIsSplitMerge(value != 0);
            return QUILLET_OK;
        case QUILLET_USE_TT_FONT:
            rip.SetUseTTFont(value != 0);
            return QUILLET_OK;
        case QUILLET_ANTI_ALIASING:
            rip.SetAntiAliasing(value != 0);
            return QUILLET_OK;
        case QUILLET_JPEG_QUALITY:
            if (value < 0 || value > 100)
                return QUILLET_ERROR_ARGUMENT;
            rip.SetJpegQuality(v);
            return QUILLET_OK;
        case QUILLET_MAX_OUTPUT_BYTES:
            rip.SetMaxOutputBytes(value);
            return QUILLET_OK;
        case QUILLET_MAX_MEMORY_BYTES:
            rip.SetMaxMemoryBytes(value);
            return QUILLET_OK;
        case QUILLET_MAX_PAGE_PIXELS:
            rip.SetMaxPagePixels(value);
            return QUILLET_OK;
        default:
            break;
        }
        if (!isInt)
            return QUILLET_ERROR_ARGUMENT;
        switch (option) {
        case QUILLET_PAGE_WIDTH:
            rip.SetPageSize(v, rip.GetPageHeight());
            return QUILLET_OK;
        case QUILLET_PAGE_HEIGHT:
            rip.SetPageSize(rip.GetPageWidth(), v);
            return QUILLET_OK;
        case QUILLET_RESOLUTION:
            rip.SetResolution(v);
            return QUILLET_OK;
        case QUILLET_TIME_LIMIT:
            rip.SetTimeLimit(v);
            return QUILLET_OK;
        case QUILLET_MAX_PAGES:
            rip.SetMaxPages(v);
            return QUILLET_OK;
        case QUILLET_FIRST_PAGE:
            rip.SetPageRange(v, rip.GetLastPage());
            return QUILLET_OK;
        case QUILLET_LAST_PAGE:
            rip.SetPageRange(rip.GetFirstPage(), v);
            return QUILLET_OK;
        default:
            return QUILLET_ERROR_ARGUMENT;
        }
    });
}

int quillet_get(quillet_service* service, int option, std::int64_t* value)
{
    if (value == nullptr)
        return QUILLET_ERROR_ARGUMENT;
    return Guarded(service, [&](quillet_service& s) -> int {
        const IRIPBase& rip = *s.rip;
        switch (option) {
        case QUILLET_FORMAT: *value = rip.GetOutputFormat(); break;
        case QUILLET_PAGE_WIDTH: *value = rip.GetPageWidth(); break;
        case QUILLET_PAGE_HEIGHT: *value = rip.GetPageHeight(); break;
        case QUILLET_RESOLUTION: *value = rip.GetResolution(); break;
        case QUILLET_USE_CIE_COLOR: *value = rip.GetUseCIEColor(); break;
        case QUILLET_SPLIT_MERGE: *value = rip.GetIsSplitMerge(); break;
        case QUILLET_USE_TT_FONT: *value = rip.GetUseTTFont(); break;
        case QUILLET_ANTI_ALIASING: *value = rip.GetAntiAliasing(); break;
        case QUILLET_JPEG_QUALITY: *value = rip.GetJpegQuality(); break;
        case QUILLET_TIME_LIMIT: *value = rip.GetTimeLimit(); break;
        case QUILLET_MAX_OUTPUT_BYTES: *value = rip.GetMaxOutputBytes(); break;
        case QUILLET_MAX_MEMORY_BYTES: *value = rip.GetMaxMemoryBytes(); break;
        case QUILLET_MAX_PAGES: *value = rip.GetMaxPages(); break;
        case QUILLET_MAX_PAGE_PIXELS: *value = rip.GetMaxPagePixels(); break;
        case QUILLET_FIRST_PAGE: *value = rip.GetFirstPage(); break;
        case QUILLET_LAST_PAGE: *value = rip.GetLastPage(); break;
        default: return QUILLET_ERROR_ARGUMENT;
        }
        return QUILLET_OK;
    });
}

int quillet_set_text(quillet_service* service, int option, const char* value)
{
    return Guarded(service, [&](quillet_service& s) -> int {
        std::wstring text;
        if (!TextOf(value, text))
            return QUILLET_ERROR_ARGUMENT;
        IRIPBase& rip = *s.rip;
        switch (option) {
        case QUILLET_OUTPUT_FOLDER: rip.SetOutputFolder(text); break;
        case QUILLET_IJS_MANUFACTURER:
            s.ijsManufacturer = text;
            rip.SetIJSModel(s.ijsManufacturer, s.ijsModel);
            break;
        case QUILLET_IJS_MODEL:
            s.ijsModel = text;
            rip.SetIJSModel(s.ijsManufacturer, s.ijsModel);
            break;
        case QUILLET_IJS_PARAMS: rip.SetIJSParams(text); break;
        case QUILLET_CUSTOM_PARAMS: rip.SetCustomParams(text); break;
        case QUILLET_INTENT: rip.SetIntent(text); break;
        case QUILLET_PAGE_LIST: rip.SetPageList(text); break;
        default: return QUILLET_ERROR_ARGUMENT;
        }
        return QUILLET_OK;
    });
}

int quillet_start(quillet_service* service)
{
    return Guarded(service, [](quillet_service& s) -> int {
        {
            std::lock_guard<std::mutex> guard(s.ownLock);
            s.ownStage = QUILLET_STAGE_NONE;
            s.ownReason.clear();
        }
        s.stopped = false;
        if (!s.rip->StartRIP())
            return QUILLET_ERROR_CAPTURE;
        // The earlier run is over once a new one started: none of its pages
        // may pass for one of this run's.
        s.inbox.Clear();
        // The pages in the order they come; a list that is none failed the run.
        s.pages = PageList(std::max(s.rip->GetFirstPage(), 1), s.rip->GetLastPage());
        std::string ignored;
        if (!s.rip->GetPageList().empty() && !PageList::Parse(s.rip->GetPageList(), s.pages, ignored))
            s.pages = PageList();
        s.nextIndex = 1;
        // Pages are announced to the inbox as they arrive (all at once here
        // when the run is already over).
        s.rip->GetPages(&s.inbox, true);
        return QUILLET_OK;
    });
}

int quillet_take_page(quillet_service* service, std::int32_t number, quillet_page* page)
{
    if (page == nullptr)
        return QUILLET_ERROR_ARGUMENT;
    return Guarded(service, [&](quillet_service& s) -> int {
        BitmapFile record;
        if (!s.rip->GetPage(number, record)) {
            // A page outside the range or list is refused at once: whether
            // the run ends well is known at its end.
            std::wstring ignored;
            s.rip->GetOutputFile(ignored);
            return s.Missing();
        }
        return s.Fill(number, record, page) ? QUILLET_OK : QUILLET_ERROR_ARGUMENT;
    });
}

int quillet_next_page(quillet_service* service, std::int32_t timeoutMs, quillet_page* page)
{
    if (page == nullptr)
        return QUILLET_ERROR_ARGUMENT;
    return Guarded(service, [&](quillet_service& s) -> int {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline =
            timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            BitmapFile record;
            if (s.inbox.Take(s.NextPage(), record)) {
                if (!s.Fill(s.NextPage(), record, page))
                    return QUILLET_ERROR_ARGUMENT;
                ++s.nextIndex;
                return QUILLET_OK;
            }
            if (s.stopped)
                return QUILLET_ERROR_RUN;
            // Once the run is over, or failing (it may still hand out pages it
            // finished before), the service's own wait no longer blocks for
            // long and says whether the page comes.
            if (s.rip->GetPageCount() >= 0 || s.Failure(nullptr, nullptr) != QUILLET_STAGE_NONE) {
                if (!s.rip->GetPage(s.NextPage(), record))
                    return s.Missing();
                if (!s.Fill(s.NextPage(), record, page))
                    return QUILLET_ERROR_ARGUMENT;
                ++s.nextIndex;
                return QUILLET_OK;
            }
            const Clock::time_point now = Clock::now();
            if (now >= deadline)
                return QUILLET_TIMEOUT;
            s.inbox.Wait(std::min(deadline, now + kEndPollInterval));
        }
    });
}

int quillet_stop(quillet_service* service)
{
    return Guarded(service, [](quillet_service& s) -> int {
        s.stopped = true;
        s.rip->Stop();
        return QUILLET_OK;
    });
}

std::int32_t quillet_page_count(quillet_service* service)
{
    std::int32_t count = -1;
    Guarded(service, [&](quillet_service& s) -> int {
        count = s.rip->GetPageCount();
        return QUILLET_OK;
    });
    return count;
}

std::int32_t quillet_copies(quillet_service* service)
{
    std::int32_t copies = -1;
    Guarded(service, [&](quillet_service& s) -> int {
        copies = s.rip->GetNumCopies();
        return QUILLET_OK;
    });
    return copies;
}

std::int32_t quillet_collated(quillet_service* service)
{
    std::int32_t collated = 0;
    Guarded(service, [&](quillet_service& s) -> int {
        collated = s.rip->GetIsCollated() ? 1 : 0;
        return QUILLET_OK;
    });
    return collated;
}

std::int32_t quillet_orientation(quillet_service* service)
{
    std::int32_t orientation = 0;
    Guarded(service, [&](quillet_service& s) -> int {
        orientation = s.rip->GetOrientation();
        return QUILLET_OK;
    });
    return orientation;
}

std::int32_t quillet_failure_stage(quillet_service* service)
{
    std::int32_t stage = QUILLET_STAGE_NONE;
    Guarded(service, [&](quillet_service& s) -> int {
        stage = s.Failure(nullptr, nullptr);
        return QUILLET_OK;
    });
    return stage;
}

std::size_t quillet_failure(quillet_service* service, int what, char* buffer, std::size_t size)
{
    std::size_t length = 0;
    CopyOut(std::string(), buffer, size);
    Guarded(service, [&](quillet_service& s) -> int {
        std::string reason;
        std::string report;
        s.Failure(&reason, &report);
        length = CopyOut(what == QUILLET_REPORT ? report : reason, buffer, size);
        return QUILLET_OK;
    });
    return length;
}

int quillet_set_office_limits(std::int32_t processes, std::int32_t documentsPerProcess, std::int32_t timeLimitMs,
                              std::int64_t memoryLimitBytes)
{
    try {
        OfficeLimits limits;
        limits.processes = processes;
        limits.documentsPerProcess = documentsPerProcess;
        limits.timeLimitMs = timeLimitMs;
        limits.memoryLimitBytes = memoryLimitBytes;
        SetOfficeLimits(limits);
        return QUILLET_OK;
    } catch (...) {
        return QUILLET_ERROR_SYSTEM;
    }
}

int quillet_start_office(void)
{
    try {
        return StartOfficeProcess() ? QUILLET_OK : QUILLET_ERROR_SYSTEM;
    } catch (...) {
        return QUILLET_ERROR_SYSTEM;
    }
}

void quillet_stop_office(void)
{
    try {
        StopOfficeProcesses();
    } catch (...) {
    }
}

std::int32_t quillet_confinement(char* buffer, std::size_t size)
{
    try {
        std::wstring description;
        const RIPConfinement confinement = GetRIPConfinement(&description);
        CopyOut(ToUtf8(description), buffer, size);
        return confinement;
    } catch (...) {
        CopyOut(std::string(), buffer, size);
        return RIP_CONFINEMENT_NONE;
    }
}

}  // extern "C"
