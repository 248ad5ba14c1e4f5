// The run monitor: the thread that relays the job into the run's Ghostscript
// processes, reads their output (the header scan, the failure reports), hands
// finished pages to the listener in page order and records the run's outcome.
#include "engine/RIPEngineImplData.h"

#include "engine/OutputFormats.h"
#include "engine/PageCheck.h"
#include "engine/PageProof.h"
#include "platform/Deadline.h"
#include "platform/EventLoop.h"
#include "platform/Paths.h"
#include "platform/Pipe.h"
#include "platform/PrivateFolder.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"
#include "settings/BoundReasons.h"

#include <quillet/BitmapFile.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace Quillet {

namespace {

// Job data goes into Ghostscript, and its output comes back, in pieces of this size.
constexpr std::size_t kChunkSize = 8192;
// A job file still locked by its writer is tried again after this time.
constexpr int kLockedRetryMs = 200;
// After a stop request the children have this long to end by themselves once
// their input is closed; then they are killed. A fixed bound from the
// request, not a silence that every page file would put off: with the input
// pipes kept small a stop then ends well within 1.5 s wherever Ghostscript is.
constexpr int kStopGraceMs = 1000;
// Output pieces read per wake-up, so that a chatty child cannot keep the
// monitor from its other work.
constexpr int kReadsPerWakeUp = 16;
// With a byte limit the bytes written are counted this often: files grow
// without any event in the folder. Together with the stop's grace a run
// past its limit ends well within 1.5 s.
constexpr int kByteCheckMs = 200;
// Output read before a page is handed out or placed: more than Ghostscript's
// output pipe holds (64 KiB), so that whatever it wrote before the page
// file appeared, the header and the page's own line above all, has been
// read, however fast it writes meanwhile.
constexpr std::size_t kOutputBeforeHandOver = 256 * 1024;
// A shared run keeps the job's data from its start, up to this much, so
// that a page its processes' page lists lost can be rendered again by one
// process reading the whole job.
constexpr std::size_t kReplayBytes = 64 << 20;
// Job data kept for the process furthest behind: one that renders a page
// while the others only interpret it may fall this far behind before the
// job is read on, so that none waits for another page by page.
constexpr std::size_t kInputBacklog = 1 << 20;
// The consumed start of the job data is dropped once it is this long.
constexpr std::size_t kBacklogTrim = 64 * 1024;
// The lines Ghostscript writes on opening a PDF are short; longer ones are
// the document's text.
constexpr std::size_t kDocumentLineLimit = 200;

std::string Pages(std::int32_t count)
{
    return std::to_string(count) + (count == 1 ? " page" : " pages");
}

using Platform::MillisecondsUntil;

/// The number that follows prefix at the start of line, or 0.
std::int32_t NumberAfter(const std::string& line, const char* prefix)
{
    const std::string start(prefix);
    if (line.compare(0, start.size(), start) != 0)
        return 0;
    return static_cast<std::int32_t>(std::strtol(line.c_str() + start.size(), nullptr, 10));
}

}  // namespace

/// The work of one run, on the monitor thread. Everything the host's thread
/// may look at goes through the record's atomics or its lock; the handles are
/// the monitor's alone until it has ended (the host closes them only after
/// joining it).
class RunMonitor {
public:
    explicit RunMonitor(RIPEngineImplData& data) : d(data) {}

    void Run();

private:
    /// What a completion is of; with the worker's index, its key in the
    /// loop, so that among those ready together a stop comes first and the
    /// job's data last, as the key orders them.
    enum class Source : std::uint64_t { Stop, Child, Folder, Output, Error, Input, Job };
    static std::uint64_t Key(Source source, std::size_t w = 0)
    {
        return static_cast<std::uint64_t>(source) << 32 | static_cast<std::uint64_t>(w);
    }

    /// Whether the next page may be handed out.
    enum class PageReadiness { NotYet, Complete, Broken };
    /// Where the run's next page is: in a worker's file, not yet known,
    /// beyond the job's or the range's end, or rendered by no worker.
    enum class Lookup { Found, NotYet, Ended, Lost };

    GhostscriptWorker& Worker(std::size_t w) const { return *d.workers[w]; }
    bool AnyRunning() const;

    /// Adds worker w's child and pipes to the loop once it has started.
    void Register(std::size_t w);
    // The job's input, shared by the workers as it arrives.
    void RelayJobData(const Platform::Completion& done);
    bool WantsJobData() const;
    void FeedWorker(GhostscriptWorker& worker);
    void InputFailed(GhostscriptWorker& worker);
    std::size_t IndexOf(const GhostscriptWorker& worker) const;
    void CloseInput(GhostscriptWorker& worker);
    void TrimBacklog();

    void BeginStop();
    int Timeout() const;
    /// Stops the run when it is past a limit (the bytes are counted when due,
    /// or at once with countNow); true then.
    bool CheckLimits(bool countNow = false);
    std::uint64_t BytesWritten() const;
    /// Fails the run for the bound reason names and ends its processes at
    /// once: nothing they would still make is handed out.
    void StopPastBound(const std::string& reason);
    /// A line of the run's own in worker w's output: a page too large, or a
    /// page past the bound on pages.
    void TakeLimitLine(std::size_t w, const std::string& line);
    void RemovePagesNotHandedOut();
    /// True once the output folder's name no longer leads to the folder the
    /// run began in; the first time, fails and stops the run.
    bool FolderReplaced();
    /// Reads worker w's output, up to maxBytes or until there is none.
    void ReadOutput(std::size_t w, std::size_t maxBytes);
    void ReadError(std::size_t w, int maxReads);
    /// Takes one completion of worker w's output or error output; the
    /// bytes it carried.
    std::size_t TakeOutput(std::size_t w, const Platform::Completion& done);
    void TakeError(std::size_t w, const Platform::Completion& done);
    void ScanDocumentLines(const char* bytes, std::size_t count);
    void StartSharing(std::int32_t from, std::int32_t to);
    void FailKilledAfterStop();
    void FailBrokenPage();
    int StopTimeLeft() const;
    std::wstring FileName(const std::wstring& pattern, std::int32_t number) const;
    std::wstring RunPageName(std::int32_t k) const;
    PageReadiness CheckPage(std::size_t w, std::int32_t index);
    Lookup LocatePage(std::int32_t k, std::size_t& w, std::int32_t& index);
    /// Places the files that the proof's workers have begun since it last
    /// looked.
    void ObserveFiles();
    bool FileExists(std::size_t w, std::int32_t index) const;
    /// The run's page k was rendered by no process: one process renders the
    /// job again from its start, or the run fails when it cannot.
    void StartSoleWorker(std::int32_t k);
    void HandOverCompletePages();
    bool HandOver(std::int32_t k, std::size_t w, std::int32_t index);
    void Retire(GhostscriptWorker& worker);
    void ChildEnded(std::size_t w);
    void FinishFailure();

    RIPEngineImplData& d;
    Platform::EventLoop loop;
    /// The workers whose child and pipes are in the loop.
    std::vector<bool> registered;
    /// The run's secret tag, which begins the prolog's lines.
    std::string tag;
    /// The job's data from the run's tag line on: bytes from backlogBase on
    /// are kept until every worker has been given them.
    std::vector<char> backlog;
    std::uint64_t backlogBase = 0;
    /// Workers may yet join that need the input from its start.
    bool keepWholeInput = false;
    /// The job's data is kept from its start for a process that may have to
    /// render it again (up to kReplayBytes).
    bool keepForReplay = false;
    /// The workers of a job each interprets whole say which page each of
    /// their files is, and pages are found by that (proofMode); once the
    /// page lists lost a page, the sole worker renders every page.
    bool proofMode = false;
    PageProof proof;
    std::size_t soleWorker = RIPEngineImplData::kNoWorker;
    bool sourceOpen = true;
    bool jobStarted = false;  // the first bytes of the job were read
    bool sourceLocked = false;
    bool stopRequested = false;
    std::chrono::steady_clock::time_point stopDeadline;
    /// When the run's time is up, and when its bytes are counted next.
    std::chrono::steady_clock::time_point timeDeadline;
    std::chrono::steady_clock::time_point nextByteCheck;
    std::chrono::steady_clock::time_point runStart;
    /// The run's page found cut short or malformed, 0 for none: nothing from
    /// it on is handed out. brokenWhy says what was wrong with it.
    std::int32_t brokenPage = 0;
    std::size_t brokenWorker = 0;
    std::string brokenWhy;
    bool brokenCutShort = true;
    /// The shape of the page CheckPage passed last, which HandOver hands out.
    bool pageLandscape = false;
    /// No page comes any more: the next one's worker ended without it.
    bool handOutEnded = false;
    bool folderReplaced = false;
    /// The first worker that failed by itself (its cause is the run's), and
    /// whether a worker ended at the byte limit.
    int failedWorker = -1;
    bool sizeLimitEnd = false;
    /// What worker 0 said on opening a PDF: the document's page count (0:
    /// not said), whether a listed page is past its end, and whether its
    /// page lines have begun (from then on its output may hold the
    /// document's own text).
    std::int32_t documentPages = 0;
    bool pageNotFound = false;
    bool documentLinesOver = false;
    std::string documentLine;
};

void MonitorRun(RIPEngineImplData& data)
{
    RunMonitor(data).Run();
}

bool RunMonitor::AnyRunning() const
{
    for (const auto& worker : d.workers)
        if (worker->started && !worker->ended)
            return true;
    return false;
}

void RunMonitor::Run()
{
    // Without a child (none could be started) the run ends at once; failed
    // is already set.
    const auto start = runStart = std::chrono::steady_clock::now();
    // The time limit counts from the host's start of the run, so that a
    // capture or an office layout before Ghostscript is part of it.
    const auto boundsStart = d.setup.boundsStart;
    timeDeadline = std::min(start, boundsStart == std::chrono::steady_clock::time_point() ? start : boundsStart) +
                   std::chrono::seconds(d.setup.timeLimitSeconds);
    nextByteCheck = start + std::chrono::milliseconds(kByteCheckMs);
    keepWholeInput = d.plan.GetKind() == PagePlan::Kind::Ranges && d.workers.size() > 1;
    // Every process reads the run's header tag first, and with it the bound
    // on a page's pixels; the prolog takes both.
    tag = d.setup.tag;
    const std::string firstLine = tag + " " + std::to_string(d.setup.maxPagePixels) + "\n";
    backlog.assign(firstLine.begin(), firstLine.end());
    // A job each process interprets whole is shared by page lists, which a
    // job can defeat: its pages are found by what the processes say of them.
    // A run of one process for every page needs no proof: its files are the
    // pages in order.
    proofMode = d.plan.GetKind() == PagePlan::Kind::Interleaved && !FormatOf(d.setup.format).singleFile &&
                !d.setup.splitMerge && (d.plan.GetWorkerCount() > 1 || d.pageRange);
    if (proofMode) {
        proof = PageProof(tag, d.workers.size());
        proof.SetShare([this](std::size_t w, std::int32_t page) {
            std::int32_t worker = 0, index = 0;
            const std::int32_t k = d.plan.GetRunPage(page);
            return k != 0 && d.plan.Locate(k, worker, index) && static_cast<std::size_t>(worker) == w;
        });
        keepForReplay = true;
    }
    // A process that could not be started failed the run: the others are
    // drained as by a stop.
    if (d.failed)
        BeginStop();

    loop.AddEvent(d.stopEvent, Key(Source::Stop));
    loop.AddWatch(d.changeNotification, Key(Source::Folder));
    loop.AddSource(d.setup.jobSource, Key(Source::Job));
    while (AnyRunning()) {
        // A process that joined since (or whose last piece is in its pipe)
        // is given what it has not had yet.
        for (std::size_t w = 0; w < d.workers.size(); ++w)
            if (Worker(w).started)
                FeedWorker(Worker(w));
        // The job is read on only while the processes take it (and not
        // while its writer holds the part still to come locked).
        loop.SetReading(Key(Source::Job), !sourceLocked && WantsJobData());
        std::optional<Platform::Completion> done;
        try {
            done = loop.Wait(Timeout());
        } catch (const std::exception&) {
            d.FailRun(RIP_STAGE_RENDER, "waiting for Ghostscript failed");
            break;
        }
        if (!done) {
            if (stopRequested) {
                FailKilledAfterStop();  // the children did not end by themselves: they are killed below
                break;
            }
            CheckLimits();
            if (sourceLocked && WantsJobData())
                sourceLocked = false;  // tried again
            continue;
        }
        const std::size_t w = static_cast<std::size_t>(done->key & 0xFFFFFFFFu);
        switch (static_cast<Source>(done->key >> 32)) {
        case Source::Stop:
            if (d.stopEvent.Consume())
                BeginStop();
            break;
        case Source::Child:
            ChildEnded(w);
            break;
        case Source::Folder:
            // Re-armed before looking, so that a file created after the look
            // still leaves a notification behind.
            d.changeNotification.Rearm();
            HandOverCompletePages();
            break;
        case Source::Output:
            TakeOutput(w, *done);
            ReadOutput(w, (kReadsPerWakeUp - 1) * kChunkSize);
            // A page line may settle where a page is, or that it was lost.
            if (proofMode)
                HandOverCompletePages();
            break;
        case Source::Error:
            TakeError(w, *done);
            ReadError(w, kReadsPerWakeUp - 1);
            break;
        case Source::Input:
            if (done->kind == Platform::CompletionKind::Written) {
                FeedWorker(Worker(w));
                TrimBacklog();
            } else {
                InputFailed(Worker(w));
            }
            break;
        case Source::Job:
            RelayJobData(*done);
            break;
        }
        // Children that keep the folder busy never let the wait time out.
        if (AnyRunning() && stopRequested && StopTimeLeft() == 0) {
            FailKilledAfterStop();
            break;
        }
        if (AnyRunning())
            CheckLimits();
    }

    // Left without seeing every child end (no end in time after a stop, or a
    // failed wait): the children are killed and reaped.
    {
        std::lock_guard<std::mutex> guard(d.lock);
        for (const auto& worker : d.workers)
            RIPEngineImplData::ReleaseWorker(*worker);
    }
    // Without the lock: the folder is listed and the last pages announced
    // (host code), while the host may ask for the count, which is still -1.
    RemovePagesNotHandedOut();
    FinishFailure();
    if (d.stopRequested) {
        d.pagesProduced = 0;  // a stopped run has no pages, as after a stop from the host
    } else {
        d.listener.OnRunEnded(d.pagesProduced);
    }
    std::lock_guard<std::mutex> guard(d.lock);
    d.changeNotification.Close();
    // The children are gone: their temporary folder goes before the run is
    // seen to end, so that a host never finds it after.
    d.confinement.reset();
    d.temporaryFolder = Platform::PrivateFolder();
    d.idle = true;
}

void RunMonitor::FailKilledAfterStop()
{
    if (brokenPage != 0 && !d.stopRequested) {
        FailBrokenPage();
        return;
    }
    const std::int32_t pages = d.pagesProduced;
    d.FailRun(d.stopRequested ? RIP_STAGE_STOP : RIP_STAGE_RENDER,
              std::string("Ghostscript did not end after ") + (d.stopRequested ? "the stop" : "its job failed") +
                  " and was killed after " + Pages(pages));
}

void RunMonitor::FailBrokenPage()
{
    // A file cut short is Ghostscript's doing (it was killed, the disk is
    // full): weak, since its own report, when it ends with one, names the
    // cause. Any other fault was written by someone else, the job itself
    // most likely, and is the cause.
    const std::string page = "page " + std::to_string(d.plan.GetDocumentPage(brokenPage));
    if (brokenCutShort)
        d.FailRun(RIP_STAGE_RENDER, page + " was left unfinished by Ghostscript", true);
    else
        d.FailRun(RIP_STAGE_RENDER, page + " is not a well-formed page of the run (" + brokenWhy + ")");
}

void RunMonitor::FinishFailure()
{
    // Decided once every process has ended, so that the pages a failure
    // names are the run's final count, whichever process failed first.
    const std::int32_t pages = d.pagesProduced;
    if (sizeLimitEnd)
        d.FailRun(RIP_STAGE_RENDER, WroteTooMuch(d.setup.maxOutputBytes) + " after " +
                                        Pages(pages));
    if (brokenPage != 0)
        FailBrokenPage();
    if (failedWorker >= 0) {
        // The exit code and that process's own report name the cause; a
        // process refused memory under the run's bound was stopped by it.
        GhostscriptWorker& failed = Worker(static_cast<std::size_t>(failedWorker));
        if (d.setup.maxMemoryBytes > 0 && failed.report.ReportsMemoryExhausted())
            d.FailRun(RIP_STAGE_RENDER, NeededTooMuchMemory(d.setup.maxMemoryBytes) +
                                            " after " + Pages(pages));
        failed.report.SetChildEnd(failed.end, pages, false);
        d.failure.Adopt(failed.report);
        d.FailRun(RIP_STAGE_RENDER, "Ghostscript failed", true);
    } else if (pages == 0 && !d.stopRequested && !d.workers.empty()) {
        // Ghostscript ends well when a range begins past the document's end,
        // and when it cannot open a PDF (broken, encrypted).
        const std::int32_t first = d.plan.GetDocumentPage(1);
        if (d.pageRange && (documentPages > 0 || pageNotFound || !d.expectsPages))
            d.FailRun(RIP_STAGE_RENDER, "the document has no page " + std::to_string(first) +
                                            (documentPages > 0 ? ": it has " + Pages(documentPages)
                                                               : ": it ends before it"));
        else if (d.expectsPages && (!d.setup.splitMerge || Worker(0).report.NamesNoPagesCause()))
            // A split/merge run's output is where the host's switches put
            // it: no page of the service's own says nothing of it.
            d.FailRun(RIP_STAGE_RENDER, Worker(0).report.GetNoPagesReason());
    }
    if (d.failure.IsSet() && !d.workers.empty())
        d.failure.TakeReport(Worker(failedWorker >= 0 ? static_cast<std::size_t>(failedWorker) : brokenWorker).report);
}

int RunMonitor::StopTimeLeft() const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        stopDeadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void RunMonitor::BeginStop()
{
    for (const auto& worker : d.workers)
        CloseInput(*worker);
    if (!stopRequested)
        stopDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
    stopRequested = true;
}

int RunMonitor::Timeout() const
{
    // Without a stop, a locked source or a limit there is nothing to do until
    // one of the handles reports: no time-out at all.
    if (stopRequested)
        return StopTimeLeft();
    int timeout = -1;
    const auto sooner = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
    if (sourceLocked && sourceOpen)
        sooner(kLockedRetryMs);
    if (d.setup.timeLimitSeconds > 0)
        sooner(MillisecondsUntil(timeDeadline));
    if (d.setup.maxOutputBytes > 0)
        sooner(MillisecondsUntil(nextByteCheck));
    return timeout;
}

bool RunMonitor::CheckLimits(bool countNow)
{
    if (stopRequested)
        return false;
    const auto now = std::chrono::steady_clock::now();
    std::string reason;
    if (d.setup.timeLimitSeconds > 0 && now >= timeDeadline) {
        reason = "the job ran past its time limit of " + std::to_string(d.setup.timeLimitSeconds) + " s";
    } else if (d.setup.maxOutputBytes > 0 && (countNow || now >= nextByteCheck)) {
        nextByteCheck = now + std::chrono::milliseconds(kByteCheckMs);
        if (BytesWritten() > static_cast<std::uint64_t>(d.setup.maxOutputBytes))
            reason = WroteTooMuch(d.setup.maxOutputBytes);
    }
    if (reason.empty())
        return false;
    StopPastBound(reason + " after " + Pages(d.pagesProduced));
    return true;
}

std::uint64_t RunMonitor::BytesWritten() const
{
    // Every file of the run begins with its prefix: the pages and each
    // process's own files. Files a process removed but holds open fill the
    // disk as much, and no folder shows them.
    // An office document's PDF, made before the run, stays for its length.
    std::uint64_t held = d.setup.bytesBeforeRendering;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        for (const auto& worker : d.workers)
            if (worker->started && !worker->ended)
                held += worker->process.GetUnlinkedOpenBytes();
    }
    return held + ZDirStorage(ZString(d.setup.naming.GetDirectory())).GetContentSize(d.setup.naming.GetPrefix(), false) +
           ZDirStorage(ZString(d.temporaryFolder.GetPath())).GetContentSize(std::wstring(), true);
}

void RunMonitor::StopPastBound(const std::string& reason)
{
    // Nothing more is handed out, the pages handed out before stay the
    // run's, and what it left unfinished is removed at its end.
    if (stopRequested)
        return;
    d.FailRun(RIP_STAGE_RENDER, reason);
    handOutEnded = true;
    BeginStop();
    for (const auto& worker : d.workers)
        Retire(*worker);
}

void RunMonitor::TakeLimitLine(std::size_t w, const std::string& line)
{
    // The prolog counts the pages a process transfers: the job's pages, or
    // for a PDF's process those of its part of the document (the run's pages
    // from its first on).
    const bool part =
        d.plan.GetKind() == PagePlan::Kind::Ranges && w < static_cast<std::size_t>(d.plan.GetWorkerCount());
    const auto runPage = [this, w, part](std::int64_t page) -> std::int64_t {
        if (part)
            return std::min<std::int64_t>(d.plan.GetFirstPageOf(static_cast<std::int32_t>(w)) + page - 1, INT32_MAX);
        return d.plan.GetPages().CountUpTo(static_cast<std::int32_t>(page));
    };
    const auto documentPage = [this, part, &runPage](std::int64_t page) -> std::int64_t {
        return part ? d.plan.GetDocumentPage(static_cast<std::int32_t>(runPage(page))) : page;
    };
    std::size_t at = 0;
    std::int64_t page = 0, width = 0, height = 0, files = 0;
    if (!ExpectText(line, at, tag.c_str()))
        return;
    const std::size_t start = at;
    if (ExpectText(line, at, " PageTooLarge=") && ReadNumber(line, at, page) && ExpectText(line, at, ";Width=") &&
        ReadNumber(line, at, width) && ExpectText(line, at, ";Height=") && ReadNumber(line, at, height) &&
        ExpectText(line, at, ";") && at == line.size()) {
        StopPastBound("page " + std::to_string(documentPage(page)) + " is " + std::to_string(width) + "x" +
                      std::to_string(height) + " pixels, more than the bound of " +
                      PixelCountText(d.setup.maxPagePixels));
        return;
    }
    // A page past the bound on pages is known by its line before it is
    // output, also where the run's one file holds every page.
    at = start;
    if (d.setup.maxPages > 0 && ExpectText(line, at, " Page=") && ReadNumber(line, at, page) &&
        ExpectText(line, at, ";Files=") && ReadNumber(line, at, files) && ExpectText(line, at, ";") &&
        at == line.size() && runPage(page) > d.setup.maxPages)
        StopPastBound("the job has more pages than its bound of " + std::to_string(d.setup.maxPages));
}

void RunMonitor::RemovePagesNotHandedOut()
{
    // A page that was never handed out is no page of the run: cut short by
    // a stop, a limit, a full disk or a kill, written by the job itself, or
    // a process's file that was never given the run's name. Only names of
    // this run's prefix are looked at.
    const bool singleFile = FormatOf(d.setup.format).singleFile;
    const std::int32_t produced = d.pagesProduced;
    // Through the folder held since the start: a name that now leads
    // elsewhere removes nothing there, and leaves nothing here.
    FolderReplaced();
    for (const std::wstring& name : d.outputHandle.List(d.setup.naming.GetPrefix())) {
        long number = 0;
        const std::wstring rest = name.substr(d.setup.naming.GetPrefix().size());
        const bool page = !rest.empty() && rest[0] == L'_' && ZUtilities::ConvertTo(rest.substr(1), number);
        const std::int64_t k = !page || number < 1 || number > INT32_MAX ? 0
                               : singleFile                          ? number
                                                                     : d.plan.GetRunPage(static_cast<std::int32_t>(number));
        if (k < 1 || k > produced)
            d.outputHandle.Remove(name);
    }
}

bool RunMonitor::FolderReplaced()
{
    if (folderReplaced || d.outputHandle.IsStillAt(d.setup.naming.GetDirectory()))
        return folderReplaced;
    // Its pages would be read and handed out from wherever the name now
    // leads, which whoever replaced it chose: the run ends, as a limit ends it.
    folderReplaced = true;
    std::wstring name = d.setup.naming.GetDirectory();
    while (name.size() > 1 && Platform::IsPathSeparator(name.back()))
        name.pop_back();
    const std::string folder = ToUtf8(name);
    d.FailRun(RIP_STAGE_RENDER, "the output folder " + folder +
                                    " was replaced while the run went on (its name now leads elsewhere) after " +
                                    Pages(d.pagesProduced) + "; the pages not handed out are removed from the folder "
                                                             "the run began in");
    d.stopRequested = true;
    BeginStop();
    return true;
}

bool RunMonitor::WantsJobData() const
{
    // Read on only while the process furthest behind is less than the
    // backlog behind, so that memory stays bounded; a process that may yet
    // join needs everything anyway (the preamble of a document, a few bytes).
    if (keepWholeInput)
        return true;
    const std::uint64_t end = backlogBase + backlog.size();
    std::uint64_t slowest = end;
    bool open = false;
    for (const auto& worker : d.workers) {
        if (worker->inputWrite.IsValid()) {
            open = true;
            slowest = std::min(slowest, worker->inputOffset);
        }
    }
    return open && end - slowest < kInputBacklog;
}

void RunMonitor::Register(std::size_t w)
{
    if (registered.size() < d.workers.size())
        registered.resize(d.workers.size());
    GhostscriptWorker& worker = Worker(w);
    if (registered[w] || !worker.started || worker.ended)
        return;
    registered[w] = true;
    loop.AddChild(worker.process, Key(Source::Child, w));
    if (worker.outputOpen)
        loop.AddReader(worker.outputPipe.Get(), Key(Source::Output, w));
    if (worker.errorOpen)
        loop.AddReader(worker.errorPipe.Get(), Key(Source::Error, w));
    if (worker.inputWrite.IsValid())
        loop.AddWriter(worker.inputWrite.Get(), Key(Source::Input, w));
}

void RunMonitor::RelayJobData(const Platform::Completion& done)
{
    switch (done.kind) {
    case Platform::CompletionKind::Read:
        if (!jobStarted) {
            // The print system hands a PDF job its copies as a count, never
            // as pages printed again: equal pages are pages of the document.
            if (done.size >= 5 && std::memcmp(done.data, "%PDF-", 5) == 0) {
                d.copies = false;
                d.expectsPages = true;
            }
            // A PDF on the input: Ghostscript's PDF interpreter reads only
            // the pages of each process's list, so the processes' page
            // counts are no document pages, and the lists need no proof.
            if (d.expectsPages)
                proofMode = keepForReplay = false;
        }
        jobStarted = true;
        backlog.insert(backlog.end(), done.data, done.data + done.size);
        if (keepForReplay && backlog.size() > kReplayBytes)
            keepForReplay = false;  // too long to keep: trimmed as the workers take it
        for (const auto& worker : d.workers)
            if (worker->started)
                FeedWorker(*worker);
        return;
    case Platform::CompletionKind::Locked:
        sourceLocked = true;
        return;
    case Platform::CompletionKind::Ended:
        sourceOpen = false;
        for (const auto& worker : d.workers)
            if (worker->started)
                FeedWorker(*worker);  // closes the inputs that have had everything
        return;
    default:
        break;
    }
    d.FailRun(RIP_STAGE_RENDER, "the job source cannot be read");
    sourceOpen = false;
    loop.Remove(Key(Source::Job));
    for (const auto& worker : d.workers)
        CloseInput(*worker);
}

std::size_t RunMonitor::IndexOf(const GhostscriptWorker& worker) const
{
    std::size_t w = 0;
    while (w < d.workers.size() && d.workers[w].get() != &worker)
        ++w;
    return w;
}

void RunMonitor::FeedWorker(GhostscriptWorker& worker)
{
    const std::size_t w = IndexOf(worker);
    Register(w);
    const std::uint64_t key = Key(Source::Input, w);
    const std::uint64_t end = backlogBase + backlog.size();
    // The loop takes a piece at a time and says when it is in the pipe;
    // the next piece goes then.
    if (worker.inputWrite.IsValid() && worker.inputOffset < end && !loop.IsWriting(key)) {
        const std::size_t at = static_cast<std::size_t>(worker.inputOffset - backlogBase);
        worker.inputOffset += loop.Write(key, backlog.data() + at, backlog.size() - at);
    }
    if (!sourceOpen && worker.inputOffset >= end && !loop.IsWriting(key))
        CloseInput(worker);  // the whole job is in: Ghostscript's input ends
}

void RunMonitor::InputFailed(GhostscriptWorker& worker)
{
    // Ghostscript no longer reads its input. Weak: its exit code, seen
    // later, usually names the cause. A run of one process is drained like
    // a stop; the others of a shared run go on, since they may still owe
    // pages before this one's first missing page.
    d.FailRun(RIP_STAGE_RENDER, "Ghostscript stopped reading the job", true);
    CloseInput(worker);
    const bool sole = soleWorker != RIPEngineImplData::kNoWorker && &worker == &Worker(soleWorker);
    if (d.plan.GetWorkerCount() == 1 || sole)
        BeginStop();
}

void RunMonitor::CloseInput(GhostscriptWorker& worker)
{
    // Only this thread writes to the inputs; closing one ends that
    // process's job. What the loop still held for it is dropped.
    loop.Remove(Key(Source::Input, IndexOf(worker)));
    worker.inputWrite.Close();
}

void RunMonitor::TrimBacklog()
{
    if (keepWholeInput || keepForReplay)
        return;
    std::uint64_t slowest = backlogBase + backlog.size();
    for (const auto& worker : d.workers)
        if (worker->inputWrite.IsValid())
            slowest = std::min(slowest, worker->inputOffset);
    const std::size_t done = static_cast<std::size_t>(slowest - backlogBase);
    if (done >= kBacklogTrim && done * 2 >= backlog.size()) {
        backlog.erase(backlog.begin(), backlog.begin() + static_cast<std::ptrdiff_t>(done));
        backlogBase = slowest;
    }
}

void RunMonitor::ReadOutput(std::size_t w, std::size_t maxBytes)
{
    for (std::size_t read = 0; Worker(w).outputOpen && read < maxBytes;) {
        const std::optional<Platform::Completion> done = loop.Take(Key(Source::Output, w));
        if (!done)
            return;
        read += TakeOutput(w, *done);
    }
}

std::size_t RunMonitor::TakeOutput(std::size_t w, const Platform::Completion& done)
{
    GhostscriptWorker& worker = Worker(w);
    if (done.kind != Platform::CompletionKind::Read) {
        // The child's end of the pipe is closed (or broken): nothing more
        // will come, and the loop has let the pipe go.
        worker.outputOpen = false;
        return 0;
    }
    // Every process reads the whole job or document start and writes the
    // same header: the first process's counts, once.
    if (w == 0) {
        d.listener.OnRunOutput(done.data, done.size);
        if (d.plan.GetKind() == PagePlan::Kind::Ranges)
            ScanDocumentLines(done.data, done.size);
    }
    if (proofMode && w < proof.GetWorkerCount())
        proof.Scan(w, done.data, done.size);
    if (worker.limitLines.GetTag().empty())
        worker.limitLines.Reset(tag);
    worker.limitLines.Scan(done.data, done.size, [this, w](const std::string& line) {
        TakeLimitLine(w, line);
        return true;
    });
    worker.report.AddStandardOutput(done.data, done.size);
    return done.size;
}

void RunMonitor::ReadError(std::size_t w, int maxReads)
{
    for (int n = 0; Worker(w).errorOpen && (maxReads < 0 || n < maxReads); ++n) {
        const std::optional<Platform::Completion> done = loop.Take(Key(Source::Error, w));
        if (!done)
            return;
        TakeError(w, *done);
    }
}

void RunMonitor::TakeError(std::size_t w, const Platform::Completion& done)
{
    GhostscriptWorker& worker = Worker(w);
    if (done.kind == Platform::CompletionKind::Read)
        worker.report.AddErrorOutput(done.data, done.size);
    else
        worker.errorOpen = false;
}

void RunMonitor::ScanDocumentLines(const char* bytes, std::size_t count)
{
    // On opening a PDF, before its first page, Ghostscript says which pages
    // it will render ("Processing pages 1 through 20.", the range's end or
    // the document's, whichever comes first; "Processing pages 2,5,7-9." for
    // a list), or that the range begins past the document's end (for a list:
    // that a listed page is not found). Only lines before the first "Page" line are
    // looked at: later ones may carry the document's own text (font names).
    for (std::size_t i = 0; i < count && !documentLinesOver; ++i) {
        if (bytes[i] != '\n') {
            if (documentLine.size() < kDocumentLineLimit)
                documentLine += bytes[i];
            continue;
        }
        if (documentLine.rfind("Page ", 0) == 0) {
            documentLinesOver = true;
        } else if (documentLine.rfind("Processing pages ", 0) == 0) {
            const std::size_t through = documentLine.find(" through ");
            const std::int32_t from = NumberAfter(documentLine, "Processing pages ");
            const std::int32_t to =
                through == std::string::npos ? 0 : NumberAfter(documentLine.substr(through), " through ");
            // A document of more pages than the bound fails before its
            // first page.
            if (from > 0 && d.setup.maxPages > 0 && to - from >= d.setup.maxPages)
                StopPastBound("the document has " + Pages(to - from + 1) + " to render, more than its bound of " +
                              std::to_string(d.setup.maxPages));
            else if (from > 0 && to >= from)
                StartSharing(from, to);
        } else if (const std::int32_t pages = NumberAfter(
                       documentLine, "Requested FirstPage is greater than the number of pages in the file: ")) {
            documentPages = pages;
        } else if (documentLine.find("**** Error: page not found.") != std::string::npos) {
            pageNotFound = true;  // given a list, the interpreter says no more of the document's length
        }
        documentLine.clear();
    }
}

void RunMonitor::StartSharing(std::int32_t from, std::int32_t to)
{
    // The first process has started and opened the document: what one more
    // would cost.
    RIPEngineImplData::NoteStartup(static_cast<std::int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - runStart).count()));
    if (stopRequested || !d.plan.SetPageSpan(from, to, d.maxWorkers))
        return;
    // The others join worker 0, which is ended after its own part.
    try {
        if (d.SpawnWorkers())
            return;
    } catch (...) {
        d.FailRunByException(RIP_STAGE_START, std::string());
    }
    BeginStop();
}

std::wstring RunMonitor::FileName(const std::wstring& pattern, std::int32_t number) const
{
    std::wstring name;
    FormatString(name, pattern.c_str(), number);
    return name;
}

std::wstring RunMonitor::RunPageName(std::int32_t k) const
{
    // The single-file formats' one file is number 1, as a run of every page names it.
    return FileName(d.setup.naming.GetPattern(), FormatOf(d.setup.format).singleFile ? 1 : d.plan.GetDocumentPage(k));
}

RunMonitor::PageReadiness RunMonitor::CheckPage(std::size_t w, std::int32_t index)
{
    const GhostscriptWorker& worker = Worker(w);
    if (!FileExists(w, index))
        return PageReadiness::NotYet;
    const std::wstring name = FileName(worker.pagePattern, index);
    // Ghostscript closes file n before it opens file n + 1, so either of a
    // close and the next file tells that file n is closed. Neither proves
    // the file whole: the system also closes the file of a killed child, a
    // write that failed (a full disk) leaves a closed, short file, and the
    // job itself may write a file under a page's name (also the next
    // page's, ahead of Ghostscript). For the image formats the file's whole
    // structure decides, read once a sign of its close is there: a file cut
    // short is unfinished only once its own close or the child's end was
    // seen. Elsewhere only the next file or the child's clean exit shows
    // that the file was finished.
    const bool childEnded = worker.ended;
    const Platform::PageSigns signs =
        d.changeNotification.Look(name, FileName(worker.pagePattern, index + 1), childEnded);
    const bool nextExists = signs.nextBegun;
    const bool closeSeen = signs.closed;
    if (HasPageCheck(d.setup.format)) {
        if (!signs.Complete())
            return PageReadiness::NotYet;
        switch (CheckPageFile(name, d.setup.format, d.setup.pageWidth, d.setup.pageHeight, &brokenWhy,
                              d.setup.maxPagePixels, &pageLandscape)) {
        case PageFileState::Whole:
            return PageReadiness::Complete;
        case PageFileState::TooLarge:
            // Made past the prolog's check (a job that replaced its page
            // procedures): never handed out.
            StopPastBound("page " + std::to_string(d.plan.GetDocumentPage(d.pagesProduced + 1)) + " is " +
                          brokenWhy + ", more than the bound of " + PixelCountText(d.setup.maxPagePixels));
            return PageReadiness::NotYet;
        case PageFileState::CutShort:
            return closeSeen ? PageReadiness::Broken : PageReadiness::NotYet;
        default:
            brokenCutShort = false;
            return PageReadiness::Broken;
        }
    }
    if (nextExists || (childEnded && worker.end.Succeeded() && !worker.retired))
        return PageReadiness::Complete;
    return childEnded ? PageReadiness::Broken : PageReadiness::NotYet;
}

RunMonitor::Lookup RunMonitor::LocatePage(std::int32_t k, std::size_t& w, std::int32_t& index)
{
    const std::int32_t page = d.plan.GetDocumentPage(k);
    const std::int32_t last = d.plan.GetLastPage();
    if (!proofMode && soleWorker == RIPEngineImplData::kNoWorker) {
        std::int32_t worker = 0;
        if (!d.plan.Locate(k, worker, index) || static_cast<std::size_t>(worker) >= d.workers.size())
            return Lookup::Ended;  // past the range's end
        w = static_cast<std::size_t>(worker);
        return Lookup::Found;
    }
    if (last != 0 && page > last)
        return Lookup::Ended;
    if (soleWorker != RIPEngineImplData::kNoWorker) {
        // It renders every page of the job: its file n is page n.
        w = soleWorker;
        index = page;
        return Lookup::Found;
    }
    ObserveFiles();
    // Pages made without a word (the job replaced the prolog's page
    // procedures) cannot be placed: a run of one process places them.
    if (proof.HasUnsaidFiles())
        return Lookup::Lost;
    // A process that makes none of its pages while another makes them has
    // nothing to give: it would only take processor time from the one that
    // does the work.
    for (std::size_t v = 0; v < proof.GetWorkerCount(); ++v)
        if (proof.IsIdle(v))
            Retire(Worker(v));
    const PageProof::Place place = proof.Find(page);
    switch (place.state) {
    case PageProof::State::Made:
        w = place.worker;
        index = place.index;
        return Lookup::Found;
    case PageProof::State::NotYet:
        return Lookup::NotYet;
    case PageProof::State::Absent:
        return Lookup::Ended;
    case PageProof::State::Lost:
        break;
    }
    return Lookup::Lost;
}

bool RunMonitor::FileExists(std::size_t w, std::int32_t index) const
{
    const std::wstring name = FileName(Worker(w).pagePattern, index);
    return !name.empty() && ZFileStorage(ZString(name)).Exists();
}

void RunMonitor::ObserveFiles()
{
    // The file is looked for before the output is read: a file that exists
    // then belongs to a line the reads below find, never to a later one.
    for (std::size_t w = 0; w < proof.GetWorkerCount(); ++w) {
        const std::int32_t index = proof.GetPendingFile(w);
        if (index != 0 && FileExists(w, index)) {
            ReadOutput(w, kOutputBeforeHandOver);
            proof.NoteFile(w, index);
        }
    }
}

void RunMonitor::StartSoleWorker(std::int32_t k)
{
    const std::string page = "page " + std::to_string(d.plan.GetDocumentPage(k));
    if (!keepForReplay) {
        d.FailRun(RIP_STAGE_RENDER, page + " was rendered by none of the run's processes (the job does not keep to "
                                           "page lists) and the job is too long to be read again");
        d.stopRequested = true;
        BeginStop();
        return;
    }
    // The processes of the plan can be trusted with nothing more: one
    // process renders the whole job, as a run of one would, and the pages
    // from k on are its own.
    for (const auto& worker : d.workers)
        Retire(*worker);
    proofMode = false;
    keepForReplay = false;
    try {
        soleWorker = d.SpawnSoleWorker();
    } catch (...) {
        d.FailRunByException(RIP_STAGE_START, std::string());
    }
    if (soleWorker == RIPEngineImplData::kNoWorker) {
        BeginStop();
        return;
    }
    for (const auto& worker : d.workers)
        if (worker->started)
            FeedWorker(*worker);
}

void RunMonitor::HandOverCompletePages()
{
    while (brokenPage == 0 && !handOutEnded && !d.stopRequested && !FolderReplaced()) {
        const std::int32_t k = d.pagesProduced + 1;
        std::size_t worker = 0;
        std::int32_t index = 0;
        const Lookup lookup = LocatePage(k, worker, index);
        // The output read meanwhile may have ended the run at a bound.
        if (lookup == Lookup::NotYet || handOutEnded)
            return;
        // A page lost because its process failed (it was killed, it met an
        // error) ends the hand-out: that failure is the run's.
        if (lookup == Lookup::Lost && failedWorker < 0) {
            StartSoleWorker(k);
            if (soleWorker == RIPEngineImplData::kNoWorker)
                return;
            continue;
        }
        if (lookup != Lookup::Found || worker >= d.workers.size()) {
            handOutEnded = true;
            break;
        }
        // A page past the bound on pages fails the run once its file is
        // begun, whatever the prolog said of it.
        if (d.setup.maxPages > 0 && k > d.setup.maxPages) {
            if (FileExists(worker, index)) {
                StopPastBound("the job has more pages than its bound of " + std::to_string(d.setup.maxPages));
                return;
            }
            if (Worker(worker).started && !Worker(worker).ended)
                return;
            handOutEnded = true;
            break;
        }
        switch (CheckPage(worker, index)) {
        case PageReadiness::NotYet:
            if (Worker(worker).started && !Worker(worker).ended)
                return;
            handOutEnded = true;  // its process ended (or never began) without it: no page comes any more
            break;
        case PageReadiness::Complete:
            // A page that takes the run past its byte limit is not handed out.
            if (CheckLimits(true) || FolderReplaced())
                return;
            if (!HandOver(k, worker, index)) {
                brokenPage = k;
                brokenWorker = worker;
                brokenCutShort = false;
                d.stopEvent.Set();
            }
            break;
        case PageReadiness::Broken:
            // A page Ghostscript did not finish: nothing from it on is handed
            // out, and the run is drained like a stop. The process gets the
            // stop's grace to end by itself, because a write that failed (a
            // full disk) makes it report the cause on its way out; the run is
            // failed once its end is known, so that a host that sees the
            // failure also sees that cause.
            brokenPage = k;
            brokenWorker = worker;
            d.stopEvent.Set();
            break;
        }
    }
    if (!handOutEnded && brokenPage == 0)
        return;
    // The other processes can add nothing from here on; the one whose page
    // is broken gets the stop's grace to say why.
    for (std::size_t w = 0; w < d.workers.size(); ++w)
        if (!(brokenPage != 0 && w == brokenWorker))
            Retire(Worker(w));
}

bool RunMonitor::HandOver(std::int32_t k, std::size_t w, std::int32_t index)
{
    // The first process wrote the header before its first page's file: read
    // now, it is known when the page goes out, and no page need wait for it.
    ReadOutput(0, kOutputBeforeHandOver);
    // A page of another process's files takes its name as a page of the run
    // (a rename within the folder, which replaces whatever had that name).
    const std::wstring file = FileName(Worker(w).pagePattern, index);
    const std::wstring name = RunPageName(k);
    if (file != name && !Platform::RenameFile(file, name)) {
        brokenWhy = "it cannot be given its name";
        return false;
    }
    // pagesProduced counts the page only after the listener has stored it,
    // so a waiter never finds it missing. The page is announced once it
    // counts: a callback may wait for a host thread that asks for it.
    // A page of a document we read ourselves (PDF, EPS, an office
    // document's PDF) has its own shape, and so its own orientation; a
    // printed job's pages take the job's.
    BitmapFile page(name);
    if (!d.setup.documentFile.empty() && HasPageCheck(d.setup.format))
        page.SetOrientation(pageLandscape ? 2 : 1);
    d.listener.OnPageReady(k, page, d.copies);
    d.pagesProduced = k;
    if (proofMode)
        proof.Forget(d.plan.GetDocumentPage(k));
    d.pageEvent.Notify();
    d.listener.OnPagesCounted(k);
    // A process whose share is out has nothing more to give, unless the page
    // lists are not kept: then it may still make pages of other shares.
    if (soleWorker != RIPEngineImplData::kNoWorker || proof.IsPlanBroken())
        return true;
    for (std::int32_t other = 0; other < d.plan.GetWorkerCount(); ++other) {
        const std::int32_t last = d.plan.GetLastPageOf(other);
        if (last != 0 && last <= k)
            Retire(Worker(static_cast<std::size_t>(other)));
    }
    return true;
}

void RunMonitor::Retire(GhostscriptWorker& worker)
{
    if (!worker.started || worker.ended || worker.retired)
        return;
    worker.retired = true;
    CloseInput(worker);
    std::lock_guard<std::mutex> guard(d.lock);
    worker.process.Kill();
}

void RunMonitor::ChildEnded(std::size_t w)
{
    GhostscriptWorker& worker = Worker(w);
    // The rest of the output first (the child is gone, so the reads end): the
    // header values it may still hold are then known when the last pages are
    // announced.
    ReadOutput(w, SIZE_MAX);
    ReadError(w, -1);
    {
        std::lock_guard<std::mutex> guard(d.lock);
        worker.end = worker.process.TryGetEnd().value_or(Platform::ChildEnd());
        RIPEngineImplData::ReleaseWorker(worker);
    }
    if (proofMode && w < proof.GetWorkerCount()) {
        // The files it left say whether its last page was made, and whether
        // it made pages no line spoke for; a process ended by the run may
        // have left a file unfinished, and nothing of it is placed.
        std::int32_t files = -1;
        if (!worker.retired)
            for (files = proof.GetFilesSaid(w); FileExists(w, files + 1);)
                ++files;
        proof.NoteEnd(w, files);
    }
    worker.ended = true;
    CloseInput(worker);
    if (!worker.retired && !worker.end.Succeeded()) {
        // A file written up to the byte limit ends the child (the system's
        // file size limit) before the count would have seen it; the file may
        // be one Ghostscript removed as soon as it made it, which no count
        // sees.
        if (!d.stopRequested && d.setup.maxOutputBytes > 0 &&
            (worker.end.IsFileSizeLimit() ||
             BytesWritten() >= static_cast<std::uint64_t>(d.setup.maxOutputBytes)))
            sizeLimitEnd = true;
        if (d.stopRequested) {
            // No page goes out after a stop: the count is final already.
            worker.report.SetChildEnd(worker.end, d.pagesProduced, true);
            d.failure.Adopt(worker.report);
            d.FailRun(RIP_STAGE_STOP, "Ghostscript failed", true);
        } else if (failedWorker < 0) {
            failedWorker = static_cast<int>(w);
        }
    }
    d.changeNotification.Rearm();
    HandOverCompletePages();
}

}  // namespace Quillet
