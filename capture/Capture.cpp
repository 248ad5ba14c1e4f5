// CaptureDocument: the capture of one input document, by its kind: read as
// it is, laid out by the office suite, or printed to the virtual queue and
// reported back by the print path.
#include "capture/Capture.h"

#include "capture/Document.h"
#include "capture/DocumentKind.h"
#include "capture/JobInfo.h"
#include "capture/KeyAccessor.h"
#include "platform/TextConversion.h"
#include "platform/ZThread.h"
#include "settings/InstallSettings.h"

#include <algorithm>
#include <chrono>
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

CaptureOutcome Outcome(CaptureResult result, std::string reason = std::string())
{
    CaptureOutcome outcome;
    outcome.result = result;
    outcome.reason = std::move(reason);
    return outcome;
}

/// Prints the document of printed to the virtual queue and waits for its
/// job's keys, which it applies to job.
CaptureOutcome PrintAndWait(JobInfo& job, Document& document)
{
    const std::wstring tag = document.GetJobTag();
    KeyAccessor keyServer(tag);
    if (!keyServer.IsThreadRunning() && !keyServer.Start())
        return Outcome(CaptureResult::Failed, "the job-key endpoint cannot be opened");
    if (!document.StartPrinting(InstallSettings::Instance().GetQueueName()))
        return Outcome(CaptureResult::Failed, "the printing thread cannot be started");  // the key server is stopped on return

    // The printing thread is waited for too: a document that was not printed
    // at all (no print server, no queue, nothing that prints it) ends the
    // capture at once, since no keys can come then. One printed to the
    // default queue instead may still come back, if that queue is ours. Once
    // printed, the job is watched on the print server; a capture that gives
    // up cancels it, so that nothing of ours stays in the queue.
    std::string timeout = "no job was reported within " + std::to_string(kJobKeyTimeoutMs / 1000) +
                          " s of printing to " + ToUtf8(document.GetQueueName());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPrintingTimeoutMs);
    bool printing = true;
    auto giveUp = [&](const std::string& why) {
        if (!printing)
            document.CancelJob();
        return Outcome(CaptureResult::Failed, why);
    };
    while (keyServer.IsThreadRunning()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return giveUp(printing ? "printing " + ToUtf8(document.GetPath()) + " did not end within " +
                                         std::to_string(kPrintingTimeoutMs / 1000) + " s"
                                   : timeout);
        ZSynchManager waiter;
        waiter.AddSynchObject(&keyServer);
        if (printing)
            waiter.AddSynchObject(&document);
        const auto slice = printing ? left : std::min<long long>(left, kJobWatchMs);
        const tagZBASESTAT woke = waiter.WaitForTrigger(false, static_cast<std::uint32_t>(slice));
        if (woke == ZBASE_TIMEOUT) {
            std::string why;
            if (!printing && !document.JobMayStillCome(why))
                return giveUp(why);
            continue;
        }
        if (woke != ZBASE_OK)
            return giveUp("waiting for the job failed");
        if (printing && !document.IsThreadRunning()) {
            document.Join();  // its failure text is written before it ends
            printing = false;
            const std::string& why = document.GetFailureReason();
            if (document.GetExitStatus() == Document::kNotPrinted)
                return Outcome(CaptureResult::Failed, why.empty() ? "the document was not printed" : why);
            if (!why.empty())
                timeout += " (" + why + ")";
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kJobKeyTimeoutMs);
        }
    }
    if (!keyServer.Succeeded())
        return giveUp("the job-key endpoint failed before a job was reported");
    // The print path names the job after the tagged copy; the preview and
    // the host go on naming the document the host asked for.
    const std::wstring hostDocName = job.docName;
    const bool parsed = job.Parse(keyServer.GetKeys());
    job.docName = hostDocName;
    keyServer.Confirm();  // the print path waits for it, whatever the parse gave
    if (!parsed)
        return Outcome(CaptureResult::Failed, "the job keys were refused: the job's handle cannot be taken over");
    return Outcome(CaptureResult::Ready);
}

}  // namespace

CaptureOutcome CaptureDocument(JobInfo& job, const std::wstring& path, const OfficeRunBounds& bounds,
                               std::unique_ptr<Document>& printed)
{
    const DocumentKind kind = GetDocumentKind(path);
    switch (kind) {
    case DocumentKind::Pdf:
    case DocumentKind::Eps: {
        CaptureOutcome outcome = Outcome(CaptureResult::Ready);
        outcome.file = path;
        outcome.eps = kind == DocumentKind::Eps;
        return outcome;
    }
    case DocumentKind::Office: {
        auto office = std::make_unique<OfficeDocument>(path);
        std::string failure;
        if (!office->Convert(OfficePool::Instance(), bounds, failure))
            return Outcome(CaptureResult::Failed, failure);
        CaptureOutcome outcome = Outcome(CaptureResult::Ready);
        outcome.file = office->GetPdfPath();
        outcome.office = std::move(office);
        return outcome;
    }
    case DocumentKind::Printed:
        break;
    }
    // The new document replaces the previous one only once it is built; the
    // previous one's destructor restores its default queue and deletes its copy.
    printed = std::make_unique<Document>(path);
    if (printed->IsPostScript())
        return Outcome(CaptureResult::Ready);
    if (!printed->CanPrint())
        return Outcome(CaptureResult::Refused, "the document type cannot be printed: " + ToUtf8(path));
    return PrintAndWait(job, *printed);
}

}  // namespace Quillet
