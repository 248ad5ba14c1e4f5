// RIPEngine: construction and destruction, the start of a job, stopping, and
// the status queries of the service.
#include "engine/RIPEngine.h"

#include "capture/Document.h"
#include "capture/JobInfo.h"
#include "capture/KeyAccessor.h"
#include "capture/Launcher.h"
#include "capture/OfficeDocument.h"
#include "engine/RIPEngineImpl.h"
#include "platform/FileHandle.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZIpcServer.h"
#include "platform/ZString.h"
#include "platform/ZThread.h"
#include "settings/InstallSettings.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>

namespace Quillet {

namespace {

/// How long a capture waits for the print path to report the job, from the
/// moment the document was handed to the print server.
constexpr std::uint32_t kJobKeyTimeoutMs = 20000;
/// How long printing itself may take before the wait for the job begins:
/// handing a document to the print server is quick, but an office document
/// is laid out first, which takes the office suite seconds to start (more
/// on a loaded machine) and is bounded by a limit of its own (60 s).
constexpr std::uint32_t kPrintingTimeoutMs = 90000;
/// While it waits for the job, the capture asks the print server this often
/// how the job stands, so that a server that went away, a paused queue or a
/// job the server stopped (a document it could not convert) ends the wait
/// with the server's reason within a few seconds, not after 20.
constexpr std::uint32_t kJobWatchMs = 1000;

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

RIPEngine::RIPEngine(const SharedPtr<JobInfo>& job)
    : IRIPBase(job->GetDocName()),
      jobInfo(job),
      pagesPerCopy(1),
      jobCollate(false),
      jobCopies(0),
      jobOrientation(0),
      pageNotify(nullptr),
      lastNotifiedPage(0)
{
    // Created last: the runner keeps a pointer to a fully built engine.
    impl = std::make_unique<RIPEngineImpl>(this);
}

RIPEngine::~RIPEngine()
{
    // The monitor thread uses the page table and the header members: it is
    // joined here, before any member goes.
    if (impl)
        impl->StopGhostscript();
}

bool RIPEngine::StartRIP()
{
    // Taken before the capture: a run's time limit holds from here.
    const auto startedAt = std::chrono::steady_clock::now();
    InstallSettings::Instance();
    RunFailure& failure = impl->GetFailure();
    failure.Clear();
    bool result = false;
    FileJob fileJob;
    try {
        if (jobInfo->IsDataSourceReady()) {
            result = true;
        } else {
            CaptureResult captured = PrepareFileJob(fileJob, startedAt);
            if (captured == CaptureResult::NeedsPrinting)
                captured = CaptureJob();
            result = captured == CaptureResult::Ready;
        }
    } catch (const std::exception& e) {
        // A failed capture leaves an earlier run undisturbed.
        failure.Set(RIP_STAGE_CAPTURE, std::string("the capture failed: ") + e.what());
    } catch (...) {
        failure.Set(RIP_STAGE_CAPTURE, "the capture failed");
    }
    if (result) {
        // Outside the catch: the runner's start failures reach the host. A
        // job that cannot be opened is not one of them: its run fails.
        impl->StopGhostscript();
        failure.Clear();  // whatever the stop of an earlier run recorded is not this run's
        runStart = startedAt;
        Platform::NativeHandle source;
        if (!fileJob.path.empty()) {
            source = UseFileJob(std::move(fileJob));
        } else {
            UseStreamJob();
            source = jobInfo->OpenDataSource();
            if (source == Platform::kNullHandle)
                failure.Set(RIP_STAGE_START, UnopenedSource(jobInfo->GetPrintJobFile()));
        }
        impl->SetJobSource(source);
        // The pages of a range are the document's own, never copies.
        if (GetFirstPage() != 0)
            detectCopies = false;
        BeginHeaderScan();  // the header values are each run's own
        try {
            impl->StartGhostscript();
        } catch (const std::exception& e) {
            failure.Set(RIP_STAGE_START, e.what());
            throw;
        }
    }
    return result;
}

std::uint64_t RIPEngine::GetBytesBeforeRendering() const
{
    unsigned long long bytes = 0;
    if (officeDocument && !ZFileStorage(ZString(documentFile)).GetSize(bytes))
        bytes = 0;
    return bytes;
}

void RIPEngine::StartPreview()
{
    // The same capture as StartRIP's, without a catch-all; a capture that
    // failed still launches the preview with what the job description holds.
    InstallSettings& settings = InstallSettings::Instance();
    impl->GetFailure().Clear();
    if (!jobInfo->IsDataSourceReady()) {
        FileJob fileJob;
        const CaptureResult captured = PrepareFileJob(fileJob, std::chrono::steady_clock::now());
        if (captured == CaptureResult::Ready) {
            // The preview reads the file through a handle of its own, so an
            // office document's PDF may go with this engine meanwhile.
            jobInfo->SetDataSource(Platform::UniqueHandle(Platform::OpenForReading(fileJob.path)));
        } else if (captured == CaptureResult::NeedsPrinting && CaptureJob() == CaptureResult::Refused) {
            return;
        }
    }
    // The preview writes its pages into the output folder, the only one of
    // the host's it may write to.
    const std::wstring folder = GetOutputDirectory();
    std::string why;
    Platform::HeldFolder held;
    if (!PrepareOutputDirectory(folder, held, why)) {
        impl->GetFailure().Set(RIP_STAGE_START, why);
        return;
    }
    StartPreviewProcess(&settings, jobInfo.Get(), folder);
}

RIPEngine::CaptureResult RIPEngine::CaptureJob()
{
    // The new document replaces the previous one only once it is built; the
    // previous one's destructor restores its default queue and deletes its copy.
    document = std::make_unique<Document>(GetInputDocument());
    if (document->IsPostScript())
        return CaptureResult::Ready;
    RunFailure& failure = impl->GetFailure();
    if (!document->impl || !document->impl->CanPrint(document->path)) {
        failure.Set(RIP_STAGE_CAPTURE, "the document type cannot be printed: " + ToUtf8(document->path));
        return CaptureResult::Refused;
    }

    const std::wstring tag = document->GetJobTag();
    KeyAccessor keyServer(tag);
    if (!keyServer.IsThreadRunning() && !keyServer.Start()) {
        failure.Set(RIP_STAGE_CAPTURE, "the job-key endpoint cannot be opened");
        return CaptureResult::Failed;
    }
    document->queueName = InstallSettings::Instance().GetQueueName();
    document->printOk = true;
    if (!document->ThreadStart(5)) {
        failure.Set(RIP_STAGE_CAPTURE, "the printing thread cannot be started");
        return CaptureResult::Failed;  // the key server is stopped on return
    }

    // The printing thread is waited for too: a document that was not printed
    // at all (no print server, no queue, nothing that prints it) ends the
    // capture at once, since no keys can come then. One printed to the
    // default queue instead may still come back, if that queue is ours. Once
    // printed, the job is watched on the print server; a capture that gives
    // up cancels it, so that nothing of ours stays in the queue.
    std::string timeout = "no job was reported within " + std::to_string(kJobKeyTimeoutMs / 1000) +
                          " s of printing to " + ToUtf8(document->queueName);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPrintingTimeoutMs);
    bool printing = true;
    auto giveUp = [&](const std::string& why) {
        failure.Set(RIP_STAGE_CAPTURE, why);
        if (!printing)
            document->CancelJob();
        return CaptureResult::Failed;
    };
    while (keyServer.IsThreadRunning()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return giveUp(printing ? "printing " + ToUtf8(document->path) + " did not end within " +
                                         std::to_string(kPrintingTimeoutMs / 1000) + " s"
                                   : timeout);
        ZSynchManager waiter;
        waiter.AddSynchObject(&keyServer);
        if (printing)
            waiter.AddSynchObject(document.get());
        const auto slice = printing ? left : std::min<long long>(left, kJobWatchMs);
        const tagZBASESTAT woke = waiter.WaitForTrigger(false, static_cast<std::uint32_t>(slice));
        if (woke == ZBASE_TIMEOUT) {
            std::string why;
            if (!printing && !document->JobMayStillCome(why))
                return giveUp(why);
            continue;
        }
        if (woke != ZBASE_OK)
            return giveUp("waiting for the job failed");
        if (printing && !document->IsThreadRunning()) {
            document->Join();  // its failure text is written before it ends
            printing = false;
            const std::string& why = document->failureReason;
            if (document->GetExitStatus() == Document::kNotPrinted) {
                failure.Set(RIP_STAGE_CAPTURE, why.empty() ? "the document was not printed" : why);
                return CaptureResult::Failed;
            }
            if (!why.empty())
                timeout += " (" + why + ")";
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kJobKeyTimeoutMs);
        }
    }
    if (!keyServer.succeeded)
        return giveUp("the job-key endpoint failed before a job was reported");
    const std::wstring keys = keyServer.keys;
    // The print path names the job after the tagged copy; the preview and
    // the host go on naming the document the host asked for.
    const std::wstring hostDocName = jobInfo->docName;
    const bool parsed = jobInfo->Parse(keys);
    jobInfo->docName = hostDocName;
    {
        // The print path waits for this byte, whatever the parse gave.
        ZLock guard(keyServer.serverLock);
        if (keyServer.server) {
            const unsigned char done = 1;
            keyServer.server->Send(&done, 1);
        }
    }
    if (!parsed)
        failure.Set(RIP_STAGE_CAPTURE, "the job keys were refused: the job's handle cannot be taken over");
    return parsed ? CaptureResult::Ready : CaptureResult::Failed;
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
    std::lock_guard<std::mutex> guard(impl->GetLock());
    std::int32_t result = -1;
    if (impl->IsIdle() && !impl->IsFailed()) {
        result = impl->GetPagesProduced();
        if (result > 0)
            result = pagesPerCopy;
    }
    return result;
}

std::int32_t RIPEngine::GetNumCopies()
{
    const auto copies = static_cast<std::uint64_t>(jobCopies.load());
    if (copies > 1)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(copies));
    std::lock_guard<std::mutex> guard(impl->GetLock());
    const std::int32_t produced = impl->GetPagesProduced();
    if (impl->IsIdle() && !impl->IsFailed() && produced > 0 && pagesPerCopy > 0)
        return produced / pagesPerCopy;
    return -1;
}

bool RIPEngine::GetIsCollated()
{
    // The page table and pagesPerCopy change on the monitor thread: read them
    // under the lock that AddPage holds.
    std::lock_guard<std::mutex> guard(impl->GetLock());
    if (pagesPerCopy > 1) {
        if (jobCollate.load() && static_cast<std::uint64_t>(jobCopies.load()) > 1)
            return true;
        return static_cast<std::int64_t>(pages.size()) / pagesPerCopy > 1;
    }
    return jobCollate.load();
}

std::int32_t RIPEngine::GetOrientation()
{
    return jobOrientation.load();
}

void RIPEngine::SetIntent(const std::wstring& intent)
{
    jobInfo->intent = intent;
}

}  // namespace Quillet
