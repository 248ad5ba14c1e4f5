// RIPEngine: construction and destruction, the capture and start of a job,
// the run it hands its runner, stopping, the pages and the status queries of
// the service.
#include "engine/RIPEngine.h"

#include "capture/Capture.h"
#include "capture/Document.h"
#include "capture/JobInfo.h"
#include "capture/Launcher.h"
#include "engine/GhostscriptArgs.h"
#include "engine/OutputFormats.h"
#include "engine/PageCheck.h"
#include "engine/RIPEngineImpl.h"
#include "platform/FileHandle.h"
#include "platform/HeldFolder.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"
#include "settings/InstallSettings.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

namespace Quillet {

namespace {

/// Why the job source at path (a print-job file, a FIFO, standard input)
/// could not be opened.
std::string UnopenedSource(const std::wstring& path)
{
    if (path.empty())
        return "the job has no source: no print-job file, and standard input is closed";
    const std::string name = ToUtf8(path);
    switch (Platform::GetPathKind(path)) {
    case Platform::PathKind::Missing:
        return "the job source " + name + " does not exist";
    case Platform::PathKind::Directory:
        return "the job source " + name + " is a folder";
    default:
        return "the job source " + name + " cannot be opened";
    }
}

}  // namespace

RIPEngine::RIPEngine(const SharedPtr<JobInfo>& job) : IRIPBase(job->GetDocName()), jobInfo(job)
{
    // Created last: the runner reports to a fully built engine.
    impl = std::make_unique<RIPEngineImpl>(static_cast<RunListener&>(*this));
}

RIPEngine::~RIPEngine()
{
    // The monitor thread reports to the page table and the header scan: it
    // is joined here, before any member goes.
    impl.reset();
}

OfficeRunBounds RIPEngine::GetLayoutBounds(std::chrono::steady_clock::time_point startedAt) const
{
    // The run's bounds hold from its start: the layout is part of it.
    OfficeRunBounds bounds;
    bounds.start = startedAt;
    bounds.timeLimitSeconds = GetTimeLimit();
    bounds.maxOutputBytes = GetMaxOutputBytes();
    bounds.maxMemoryBytes = GetMaxMemoryBytes();
    return bounds;
}

bool RIPEngine::StartRIP()
{
    // Taken before the capture: a run's time limit holds from here.
    const auto startedAt = std::chrono::steady_clock::now();
    InstallSettings::Instance();
    RunFailure& failure = impl->GetFailure();
    failure.Clear();
    bool result = false;
    DocumentJob job;
    try {
        if (jobInfo->IsDataSourceReady()) {
            result = true;
        } else {
            CaptureOutcome captured =
                CaptureDocument(*jobInfo, GetInputDocument(), GetLayoutBounds(startedAt), document);
            result = captured.result == CaptureResult::Ready;
            if (!result)
                failure.Set(RIP_STAGE_CAPTURE, captured.reason);
            else if (!captured.file.empty())
                job = DocumentJob(std::move(captured.file), captured.eps, std::move(captured.office));
        }
    } catch (...) {
        // A failed capture leaves an earlier run undisturbed.
        failure.SetFromException(RIP_STAGE_CAPTURE, "the capture failed");
    }
    if (!result)
        return false;
    // From here on the runner's start failures reach the host. A job that
    // cannot be opened is not one of them: its run fails.
    impl->StopGhostscript();
    try {
        // A run whose page callback is still running (the stop came from
        // another thread meanwhile) still reads its job: nothing of it may
        // change until its monitor has ended.
        if (!impl->IsIdle())
            throw std::runtime_error("Cannot start. RIP in progress");
        failure.Clear();  // whatever the stop of an earlier run recorded is not this run's
        documentJob = std::move(job);
        std::string why;
        Platform::NativeHandle source;
        if (documentJob.IsDocument()) {
            source = documentJob.OpenPreamble(jobInfo->password, why);
        } else {
            source = jobInfo->OpenDataSource();
            if (source == Platform::kNullHandle)
                why = UnopenedSource(jobInfo->GetPrintJobFile());
        }
        if (!why.empty())
            failure.Set(RIP_STAGE_START, why);
        impl->StartGhostscript(BuildRunSetup(source, startedAt));
    } catch (...) {
        failure.SetFromException(RIP_STAGE_START, std::string());
        throw;
    }
    return true;
}

RunSetup RIPEngine::BuildRunSetup(Platform::NativeHandle source, std::chrono::steady_clock::time_point startedAt)
{
    RunSetup setup;
    // GS_LIB and GS_DLL go into the child's environment only: changing the
    // host's environment is not safe in a threaded process.
    setup.root = GetGhostscriptRoot();
    setup.program = GetGhostscriptProgram(setup.root);
    setup.environment = {
        {L"GS_LIB", GetGhostscriptLibFolder(setup.root)},
        {L"GS_DLL", GetGhostscriptDllFolder(setup.root)},
    };
    setup.jobSource = source;
    setup.documentFile = documentJob.GetPath();
    setup.documentIsEps = documentJob.IsEps();
    // A document that was not printed has no printed copies, and the pages
    // of a range or list are the document's own.
    setup.copies = !documentJob.IsDocument() && GetFirstPage() == 0 && GetPageList().empty();
    setup.expectsPages = documentJob.IsDocument();
    setup.tag = header.Begin();  // the header values are each run's own
    // Each run in the folder and format set at its start.
    naming = PageNaming::New(GetOutputFolder(), GetOutputFormat());
    setup.naming = naming;
    BuildGhostscriptArgs(setup.args, setup.outputAt);
    setup.format = GetOutputFormat();
    const bool sized = GetPageWidth() >= 1 && GetPageHeight() >= 1;
    setup.pageWidth = sized ? GetPageWidth() : 0;
    setup.pageHeight = sized ? GetPageHeight() : 0;
    setup.resolution = GetResolution();
    setup.firstPage = GetFirstPage();
    setup.lastPage = GetLastPage();
    setup.pageList = GetPageList();
    setup.splitMerge = GetIsSplitMerge();
    if (setup.splitMerge)
        setup.splitMergeFolders = SplitMergeFolders(GetCustomParams());
    setup.boundsStart = startedAt;
    setup.timeLimitSeconds = std::max(0, GetTimeLimit());
    setup.maxOutputBytes = std::max<std::int64_t>(0, GetMaxOutputBytes());
    setup.maxMemoryBytes = std::max<std::int64_t>(0, GetMaxMemoryBytes());
    setup.maxPages = std::max(0, GetMaxPages());
    // Output without a raster (PostScript): its pages cost no pixels.
    setup.maxPagePixels =
        FormatOf(setup.format).bytesPerPixel == 0 ? 0 : std::max<std::int64_t>(0, GetMaxPagePixels());
    setup.bytesBeforeRendering = documentJob.GetBytesHeld();
    return setup;
}

void RIPEngine::StartPreview()
{
    // The same capture as StartRIP's, without a catch-all; a capture that
    // failed still launches the preview with what the job description holds.
    InstallSettings& settings = InstallSettings::Instance();
    RunFailure& failure = impl->GetFailure();
    failure.Clear();
    if (!jobInfo->IsDataSourceReady()) {
        CaptureOutcome captured = CaptureDocument(*jobInfo, GetInputDocument(),
                                                  GetLayoutBounds(std::chrono::steady_clock::now()), document);
        if (captured.result == CaptureResult::Refused) {
            failure.Set(RIP_STAGE_CAPTURE, captured.reason);
            return;
        }
        if (captured.result == CaptureResult::Failed) {
            failure.Set(RIP_STAGE_CAPTURE, captured.reason);
        } else if (!captured.file.empty()) {
            // The preview reads the file through a handle of its own, so an
            // office document's PDF may go with the outcome meanwhile.
            jobInfo->SetDataSource(Platform::UniqueHandle(Platform::OpenForReading(captured.file)));
        }
    }
    // The preview writes its pages into the output folder, the only one of
    // the host's it may write to.
    std::string why;
    Platform::HeldFolder held;
    if (!PageNaming::PrepareFolderOf(GetOutputFolder(), held, why)) {
        failure.Set(RIP_STAGE_START, why);
        return;
    }
    StartPreviewProcess(&settings, jobInfo.Get(), PageNaming::OutputDirectory(GetOutputFolder()));
}

void RIPEngine::Stop()
{
    impl->StopGhostscript();
}

void RIPEngine::Cancel()
{
    impl->StopGhostscript();
}

std::int32_t RIPEngine::GetPageCount()
{
    std::int32_t result = -1;
    if (impl->IsIdle() && !impl->IsFailed()) {
        result = impl->GetPagesProduced();
        if (result > 0)
            result = pages.GetPagesPerCopy();
    }
    return result;
}

std::int32_t RIPEngine::GetNumCopies()
{
    const auto copies = static_cast<std::uint64_t>(header.GetCopies());
    if (copies > 1)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(copies));
    const std::int32_t produced = impl->GetPagesProduced();
    const std::int32_t perCopy = pages.GetPagesPerCopy();
    if (impl->IsIdle() && !impl->IsFailed() && produced > 0 && perCopy > 0)
        return produced / perCopy;
    return -1;
}

bool RIPEngine::GetIsCollated()
{
    return pages.IsCollated(header.GetCollate(), header.GetCopies());
}

std::int32_t RIPEngine::GetOrientation()
{
    return header.GetOrientation();
}

void RIPEngine::SetIntent(const std::wstring& intent)
{
    jobInfo->intent = intent;
}

bool RIPEngine::PagesHaveOwnOrientation() const
{
    // The monitor measured each page of a document we read ourselves.
    return documentJob.IsDocument() && HasPageCheck(GetOutputFormat());
}

std::int32_t RIPEngine::GetPageOrientation() const
{
    return PagesHaveOwnOrientation() ? PageQueue::kOwnOrientation : header.GetOrientation();
}

void RIPEngine::OnRunOutput(const char* bytes, std::size_t count)
{
    header.Scan(bytes, count);
}

void RIPEngine::OnPageReady(std::int32_t k, const BitmapFile& page, bool copies)
{
    pages.Add(k, page, copies);
}

void RIPEngine::OnPagesCounted(std::int32_t k)
{
    // Announce every page not announced yet, also those produced before the
    // callback was registered. None is announced once the run was stopped
    // (also from a callback). The header, when the job has one, was read
    // before the page was handed over; without one a page says portrait.
    // The table counts the run's pages; the host is given the document's
    // page numbers. Only the monitor thread announces, so the pages keep
    // their order.
    IPageNotify* notify = nullptr;
    BitmapFile record;
    std::int32_t n = 0;
    while (pages.NextDue(k, GetPageOrientation(), notify, n, record)) {
        const std::int32_t pageNumber = impl->GetDocumentPage(n);
        if (!impl->CallHost([&] { notify->OnPageReady(pageNumber, record); }))
            return;
    }
}

void RIPEngine::OnRunEnded(std::int32_t produced)
{
    pages.Settle(produced);
    OnPagesCounted(produced);
}

void RIPEngine::OnReleased()
{
    Destroy();
}

bool RIPEngine::GetPage(std::int32_t pageNumber, BitmapFile& page)
{
    // The run's k-th page is the document's page pageNumber; with a page
    // range or list, the pages outside it are no pages of the run.
    const std::int32_t k = pageNumber < 1 ? 0 : impl->GetRunPage(pageNumber);
    return k >= 1 && WaitForRunPage(k, page);
}

bool RIPEngine::WaitForRunPage(std::int32_t k, BitmapFile& page)
{
    // Wait for later pages while the detected copy is still shorter than the
    // page asked for: the page may yet turn out to belong to the first copy,
    // at the latest when the run ends.
    for (std::int32_t waitFor = k;; ++waitFor) {
        const bool more = impl->WaitForPage(waitFor);
        if (pages.Get(k, impl->GetPagesProduced(), GetPageOrientation(), page))
            return true;
        if (!more)
            return false;
    }
}

bool RIPEngine::GetPages(IPageNotify* notify, bool asynchronous)
{
    if (asynchronous && !impl->IsIdle()) {
        pages.SetNotify(notify);
        return true;
    }
    // A callback may release the engine: it is then destroyed on return.
    SyncDelivery delivery(*this);
    for (std::int32_t k = 1;; ++k) {
        const std::int32_t n = impl->GetDocumentPage(k);
        BitmapFile record;
        if (!WaitForRunPage(k, record)) {
            const std::int32_t count = GetPageCount();
            return !(count == -1 || k - 1 < count);
        }
        if (notify != nullptr)
            notify->OnPageReady(n, record);
        if (releaseRequested)
            return false;
    }
}

bool RIPEngine::Release()
{
    if (deliveryThread == std::this_thread::get_id()) {
        // Inside a synchronous delivery: destroyed when GetPages returns.
        releaseRequested = true;
        impl->StopGhostscript();
        return true;
    }
    // Inside an asynchronous callback, or while one runs on another thread:
    // the monitor destroys the engine once the callback has returned.
    if (impl->ReleaseWhenEnded())
        return true;
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

std::wstring RIPEngine::GetPagePattern()
{
    if (!naming.IsSet())
        naming = PageNaming::New(GetOutputFolder(), GetOutputFormat());
    return naming.GetPattern();
}

bool RIPEngine::GetOutputFile(std::wstring& path)
{
    for (std::int32_t n = 1; impl->WaitForPage(n); ++n) {
    }
    GetPagePattern();
    path += naming.GetName(1);
    return ZFileStorage(ZString(path)).Exists();
}

bool RIPEngine::DeletePages()
{
    // A run still going on would go on adding pages to the emptied table
    // under their old numbers, and the counts would no longer tell the truth:
    // it is ended first, as Stop ends it (from a page callback, or while one
    // runs, the run adds no page once the callback has returned). The header
    // values stay the job's.
    impl->StopGhostscript();
    return pages.Clear();
}

}  // namespace Quillet
