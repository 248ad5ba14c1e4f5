// RIPEngine: construction and destruction, the start of a job, stopping, and
// the status queries of the service.
#include "engine/RIPEngine.h"

#include "capture/Document.h"
#include "capture/JobInfo.h"
#include "capture/KeyAccessor.h"
#include "capture/Launcher.h"
#include "engine/RIPEngineImpl.h"
#include "platform/ZIpcServer.h"
#include "platform/ZString.h"
#include "platform/ZThread.h"
#include "settings/InstallSettings.h"

namespace Quillet {

namespace {

/// How long a capture waits for the print path to report the job.
constexpr std::uint32_t kJobKeyTimeoutMs = 20000;

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
    InstallSettings::Instance();
    bool result = false;
    try {
        if (jobInfo->IsDataSourceReady())
            result = true;
        else
            result = CaptureJob() == CaptureResult::Ready;
    } catch (...) {
        // A failed capture leaves an earlier run undisturbed.
    }
    if (result) {
        // Outside the catch: the runner's start failures reach the host.
        impl->StopGhostscript();
        impl->SetJobSource(jobInfo->OpenDataSource());
        impl->StartGhostscript();
    }
    return result;
}

void RIPEngine::StartPreview()
{
    // The same capture as StartRIP's, without a catch-all; a capture that
    // failed still launches the preview with what the job description holds.
    InstallSettings& settings = InstallSettings::Instance();
    if (!jobInfo->IsDataSourceReady() && CaptureJob() == CaptureResult::Refused)
        return;
    StartPreviewProcess(&settings, jobInfo.Get());
}

RIPEngine::CaptureResult RIPEngine::CaptureJob()
{
    // The new document replaces the previous one only once it is built; the
    // previous one's destructor restores its default queue and deletes its copy.
    document = std::make_unique<Document>(GetInputDocument());
    if (document->IsPostScript())
        return CaptureResult::Ready;
    if (!document->impl || !document->impl->CanPrint(document->path))
        return CaptureResult::Refused;

    const std::wstring tag = document->GetJobTag();
    KeyAccessor keyServer(tag);
    if (!keyServer.IsThreadRunning())
        keyServer.Start();
    document->queueName = InstallSettings::Instance().GetQueueName();
    document->printOk = true;
    if (!document->ThreadStart(5) || !document->printOk)
        return CaptureResult::Failed;  // the key server is stopped on return

    ZSynchManager waiter;
    waiter.AddSynchObject(&keyServer);
    if (waiter.WaitForTrigger(false, kJobKeyTimeoutMs) != ZBASE_OK)
        return CaptureResult::Failed;
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
    ZLock guard(impl->GetLock());
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
    ZLock guard(impl->GetLock());
    const std::int32_t produced = impl->GetPagesProduced();
    if (impl->IsIdle() && !impl->IsFailed() && produced > 0 && pagesPerCopy > 0)
        return produced / pagesPerCopy;
    return -1;
}

bool RIPEngine::GetIsCollated()
{
    // The page table and pagesPerCopy change on the monitor thread: read them
    // under the lock that AddPage holds.
    ZLock guard(impl->GetLock());
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
