// RIPEngine: construction and destruction, the start of a job, stopping, and
// the status queries of the service.
#include "engine/RIPEngine.h"

#include "capture/JobInfo.h"
#include "engine/RIPEngineImpl.h"
#include "platform/ZString.h"
#include "settings/InstallSettings.h"

namespace Quillet {

namespace {

/// A document whose extension is "ps" (any letter case) is its own print job.
bool IsPostScriptDocument(const std::wstring& document)
{
    ZString extension;
    return ZFileName(document).ReturnExt(extension) && extension.CompareI(ZString(L"ps"));
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
    InstallSettings::Instance();
    bool result = false;
    try {
        if (jobInfo->IsDataSourceReady() || IsPostScriptDocument(GetInputDocument()))
            result = true;
        else
            result = CaptureJob();
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
    // Handing a job to the preview application arrives with the capture of
    // documents; until then there is nothing to launch.
}

bool RIPEngine::CaptureJob()
{
    // Printing a document through its application to the virtual queue (and
    // receiving the job keys) is not available yet: only jobs whose data can
    // be read now, or PostScript documents, are rendered.
    return false;
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
