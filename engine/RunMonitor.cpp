// The run monitor: the thread that relays the job into Ghostscript, reads its
// standard output for the header scan, hands finished pages to the engine and
// records the run's outcome.
#include "engine/RIPEngineImpl.h"

#include "engine/OutputFormats.h"
#include "engine/PageCheck.h"
#include "engine/RIPEngine.h"
#include "platform/Pipe.h"
#include "platform/WaitSet.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"

#include <quillet/BitmapFile.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <set>
#include <vector>

namespace Quillet {

namespace {

// Job data goes into Ghostscript, and its output comes back, in pieces of this size.
constexpr std::size_t kChunkSize = 8192;
// A job file still locked by its writer is tried again after this time.
constexpr int kLockedRetryMs = 200;
// After a stop request the child has this long to end by itself once its
// input is closed; then it is killed. A fixed bound from the request, not a
// silence that every page file would put off: with the input pipe kept small
// a stop then ends well within 1.5 s wherever Ghostscript is.
constexpr int kStopGraceMs = 1000;
// Output pieces read per wake-up, so that a chatty child cannot keep the
// monitor from its other work.
constexpr int kReadsPerWakeUp = 16;
// With a byte limit the bytes written are counted this often: files grow
// without any event in the folder. Together with the stop's grace a run
// past its limit ends well within 1.5 s.
constexpr int kByteCheckMs = 200;

std::string Pages(std::int32_t count)
{
    return std::to_string(count) + (count == 1 ? " page" : " pages");
}

std::string Bytes(std::int64_t bytes)
{
    constexpr std::int64_t kMegabyte = 1 << 20;
    return bytes % kMegabyte == 0 ? std::to_string(bytes / kMegabyte) + " MB" : std::to_string(bytes) + " bytes";
}

int MillisecondsUntil(std::chrono::steady_clock::time_point when)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<std::int64_t>(left, 1 << 30)) : 0;
}
// Output pieces read before a page is handed out: more than Ghostscript's
// output pipe holds (64 KiB), so that whatever it wrote before the page,
// the header above all, has been read.
constexpr int kReadsBeforeHandOver = 16;

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
    enum class Source { Stop, Child, Folder, Output, Error, Input };

    /// Whether the next page may be handed out.
    enum class PageReadiness { NotYet, Complete, Broken };

    bool RelayJobData();
    void CloseInput();
    void BeginStop();
    int Timeout() const;
    /// Stops the run when it is past a limit (the bytes are counted when due,
    /// or at once with countNow); true then.
    bool CheckLimits(bool countNow = false);
    std::uint64_t BytesWritten() const;
    void RemovePagesNotHandedOut();
    void ReadOutput(int maxReads);
    void ReadError(int maxReads);
    void FailKilledAfterStop();
    void FailBrokenPage();
    int StopTimeLeft() const;
    bool PageFileExists(std::int32_t pageNumber) const;
    std::wstring PageFileName(std::int32_t pageNumber) const;
    void NoteClosedFiles();
    PageReadiness CheckPage(std::int32_t pageNumber, bool childEnded, bool cleanExit);
    void HandOverCompletePages(bool childEnded, bool cleanExit);
    void HandOver(std::int32_t pageNumber);
    void ChildEnded();

    RIPEngineImplData& d;
    std::vector<char> input = std::vector<char>(kChunkSize);
    std::size_t pendingOffset = 0;  // the part of input not yet written
    std::size_t pendingSize = 0;
    bool jobStarted = false;  // the first bytes of the job were read
    bool sourceLocked = false;
    std::vector<char> output = std::vector<char>(kChunkSize);
    bool outputOpen = true;
    bool errorOpen = true;
    bool stopRequested = false;
    std::chrono::steady_clock::time_point stopDeadline;
    /// When the run's time is up, and when its bytes are counted next.
    std::chrono::steady_clock::time_point timeDeadline;
    std::chrono::steady_clock::time_point nextByteCheck;
    /// Page files of this run that were closed after writing (names only).
    std::set<std::wstring> closedFiles;
    std::vector<std::wstring> closedNow;
    /// The page found cut short or malformed, 0 for none: nothing from it on
    /// is handed out. brokenWhy says what was wrong with it.
    std::int32_t brokenPage = 0;
    std::string brokenWhy;
    bool brokenCutShort = true;
};

void RIPEngineImpl::MonitorGhostscript()
{
    RunMonitor(*data).Run();
}

void RunMonitor::Run()
{
    Platform::NativeHandle child;
    {
        ZLock guard(d.lock);
        child = d.process.GetWaitHandle();
    }
    // Without a child (it could not be started) the run ends at once; failed
    // is already set.
    bool running = child != Platform::kInvalidHandle;
    const auto start = std::chrono::steady_clock::now();
    timeDeadline = start + std::chrono::seconds(d.timeLimitSeconds);
    nextByteCheck = start + std::chrono::milliseconds(kByteCheckMs);
    // Ghostscript reads the run's header tag first; the prolog takes it.
    const std::string tag = d.owner->GetHeaderTag() + "\n";
    pendingSize = std::min(tag.size(), input.size());
    std::copy(tag.begin(), tag.begin() + static_cast<std::ptrdiff_t>(pendingSize), input.begin());

    std::vector<Platform::WaitItem> items;
    std::vector<Source> sources;
    while (running) {
        // A failure while the input is still open (the job could not be read,
        // or Ghostscript's input could not be written) drains the run.
        if (d.failed && d.inputWrite.IsValid() && !stopRequested)
            d.stopEvent.Set();

        items.clear();
        sources.clear();
        auto add = [&](Platform::NativeHandle handle, bool forWrite, Source source) {
            items.push_back({handle, forWrite});
            sources.push_back(source);
        };
        add(d.stopEvent.GetWaitHandle(), false, Source::Stop);
        add(child, false, Source::Child);
        add(d.changeNotification.GetWaitHandle(), false, Source::Folder);
        if (outputOpen)
            add(d.outputPipe.Get(), false, Source::Output);
        if (errorOpen)
            add(d.errorPipe.Get(), false, Source::Error);
        // The input is driven by readiness: a chunk waits for room in the pipe,
        // the next read waits for the source to have data. Ghostscript's output
        // is read meanwhile, so a full input pipe never blocks its output.
        if (d.inputWrite.IsValid()) {
            if (pendingSize > 0)
                add(d.inputWrite.Get(), true, Source::Input);
            else if (!sourceLocked)
                add(d.jobSource, false, Source::Input);
        }

        const int ready = Platform::WaitAny(items.data(), items.size(), Timeout());
        ++d.monitorWakeUps;
        if (ready == Platform::kWaitTimeout) {
            if (stopRequested) {
                FailKilledAfterStop();  // the child did not end by itself: it is killed below
                break;
            }
            CheckLimits();
            if (sourceLocked && !stopRequested)
                sourceLocked = !RelayJobData();
            continue;
        }
        if (ready < 0 || static_cast<std::size_t>(ready) >= sources.size()) {
            d.FailRun(RIP_STAGE_RENDER, "waiting for Ghostscript failed");
            break;
        }
        switch (sources[static_cast<std::size_t>(ready)]) {
        case Source::Stop:
            d.stopEvent.Consume();
            BeginStop();
            break;
        case Source::Child:
            ChildEnded();
            running = false;
            break;
        case Source::Folder:
            // Re-armed before looking, so that a file created after the look
            // still leaves a notification behind.
            NoteClosedFiles();
            HandOverCompletePages(false, false);
            break;
        case Source::Output:
            ReadOutput(kReadsPerWakeUp);
            break;
        case Source::Error:
            ReadError(kReadsPerWakeUp);
            break;
        case Source::Input:
            sourceLocked = !RelayJobData();
            break;
        }
        // A child that keeps the folder busy never lets the wait time out.
        if (running && stopRequested && StopTimeLeft() == 0) {
            FailKilledAfterStop();
            break;
        }
        if (running)
            CheckLimits();
    }

    // Left without seeing the child's end (no end in time after a stop, or a
    // failed wait): the child is killed and reaped.
    ZLock guard(d.lock);
    d.process = Platform::ChildProcess();
    RemovePagesNotHandedOut();
    if (d.stopRequested) {
        d.pagesProduced = 0;  // a stopped run has no pages, as after a stop from the host
    } else {
        d.owner->FinishRun();
    }
    d.changeNotification.Close();
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
                  " and was killed after " + std::to_string(pages) + (pages == 1 ? " page" : " pages"));
}

void RunMonitor::FailBrokenPage()
{
    // A file cut short is Ghostscript's doing (it was killed, the disk is
    // full): weak, since its own report, when it ends with one, names the
    // cause. Any other fault was written by someone else, the job itself
    // most likely, and is the cause.
    const std::string page = "page " + std::to_string(brokenPage);
    if (brokenCutShort)
        d.FailRun(RIP_STAGE_RENDER, page + " was left unfinished by Ghostscript", true);
    else
        d.FailRun(RIP_STAGE_RENDER, page + " is not a well-formed page of the run (" + brokenWhy + ")");
}

int RunMonitor::StopTimeLeft() const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        stopDeadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void RunMonitor::BeginStop()
{
    CloseInput();
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
    if (sourceLocked && d.inputWrite.IsValid())
        sooner(kLockedRetryMs);
    if (d.timeLimitSeconds > 0)
        sooner(MillisecondsUntil(timeDeadline));
    if (d.maxOutputBytes > 0)
        sooner(MillisecondsUntil(nextByteCheck));
    return timeout;
}

bool RunMonitor::CheckLimits(bool countNow)
{
    if (stopRequested)
        return false;
    const auto now = std::chrono::steady_clock::now();
    std::string reason;
    if (d.timeLimitSeconds > 0 && now >= timeDeadline) {
        reason = "the job ran past its time limit of " + std::to_string(d.timeLimitSeconds) + " s";
    } else if (d.maxOutputBytes > 0 && (countNow || now >= nextByteCheck)) {
        nextByteCheck = now + std::chrono::milliseconds(kByteCheckMs);
        if (BytesWritten() > static_cast<std::uint64_t>(d.maxOutputBytes))
            reason = "the job wrote more than its limit of " + Bytes(d.maxOutputBytes);
    }
    if (reason.empty())
        return false;
    // Stopped as the host stops a run: nothing more is handed out, and what
    // it left unfinished is removed at its end.
    d.FailRun(RIP_STAGE_RENDER, reason + " after " + Pages(d.pagesProduced));
    d.stopRequested = true;
    BeginStop();
    return true;
}

std::uint64_t RunMonitor::BytesWritten() const
{
    return ZDirStorage(ZString(d.outputFolder)).GetContentSize(d.pagePrefix + L"_", false) +
           ZDirStorage(ZString(d.temporaryFolder.GetPath())).GetContentSize(std::wstring(), true);
}

void RunMonitor::RemovePagesNotHandedOut()
{
    // A page that was never handed out is no page of the run: cut short by
    // a stop, a limit, a full disk or a kill, or written by the job itself.
    // Only names of this run's pattern are looked at.
    const std::wstring start = d.pagePrefix + L"_";
    std::vector<std::wstring> names;
    ZDirStorage(ZString(d.outputFolder)).List(start, names);
    for (const std::wstring& name : names) {
        long number = 0;
        if (ZUtilities::ConvertTo(name.substr(start.size()), number) && number > d.pagesProduced)
            ZFileStorage(ZString(d.outputFolder + name)).Delete(false);
    }
}

bool RunMonitor::RelayJobData()
{
    if (!d.inputWrite.IsValid())
        return true;
    if (pendingSize == 0) {
        std::size_t count = 0;
        switch (Platform::ReadSource(d.jobSource, input.data(), input.size(), count)) {
        case Platform::ReadStatus::Data:
            if (!jobStarted)
                d.owner->NoteJobStart(input.data(), count);
            jobStarted = true;
            pendingOffset = 0;
            pendingSize = count;
            break;
        case Platform::ReadStatus::Locked:
            return false;
        case Platform::ReadStatus::End:
            CloseInput();
            return true;
        case Platform::ReadStatus::Error:
            d.FailRun(RIP_STAGE_RENDER, "the job source cannot be read");
            CloseInput();
            return true;
        }
    }
    while (pendingSize > 0) {
        std::size_t written = 0;
        const Platform::IoStatus status = Platform::WriteSome(
            d.inputWrite.Get(), input.data() + pendingOffset, pendingSize, written);
        if (status == Platform::IoStatus::Ok) {
            pendingOffset += written;
            pendingSize -= written;
        } else if (status == Platform::IoStatus::WouldBlock) {
            break;  // the rest goes when the pipe has room
        } else {
            // Ghostscript no longer reads its input; the next pass drains the run.
            // Weak: its exit code, seen later, usually names the cause.
            d.FailRun(RIP_STAGE_RENDER, "Ghostscript stopped reading the job", true);
            pendingSize = 0;
        }
    }
    return true;
}

void RunMonitor::CloseInput()
{
    // Only this thread writes to the input; closing it ends Ghostscript's job.
    d.inputWrite.Close();
    pendingSize = 0;
}

void RunMonitor::ReadOutput(int maxReads)
{
    for (int n = 0; outputOpen && (maxReads < 0 || n < maxReads); ++n) {
        std::size_t count = 0;
        const Platform::IoStatus status =
            Platform::ReadSome(d.outputPipe.Get(), output.data(), output.size(), count);
        if (status == Platform::IoStatus::Ok) {
            d.owner->ScanJobHeader(output.data(), count);
            d.failure.AddStandardOutput(output.data(), count);
        } else if (status == Platform::IoStatus::WouldBlock) {
            return;
        } else {
            // The child's end of the pipe is closed: nothing more will come,
            // and a hung-up pipe must leave the wait set or it reports forever.
            outputOpen = false;
        }
    }
}

void RunMonitor::ReadError(int maxReads)
{
    for (int n = 0; errorOpen && (maxReads < 0 || n < maxReads); ++n) {
        std::size_t count = 0;
        const Platform::IoStatus status =
            Platform::ReadSome(d.errorPipe.Get(), output.data(), output.size(), count);
        if (status == Platform::IoStatus::Ok)
            d.failure.AddErrorOutput(output.data(), count);
        else if (status == Platform::IoStatus::WouldBlock)
            return;
        else
            errorOpen = false;
    }
}

std::wstring RunMonitor::PageFileName(std::int32_t pageNumber) const
{
    std::wstring name;
    FormatString(name, d.pagePattern.c_str(), pageNumber);
    return name;
}

bool RunMonitor::PageFileExists(std::int32_t pageNumber) const
{
    const std::wstring name = PageFileName(pageNumber);
    return !name.empty() && ZFileStorage(ZString(name)).Exists();
}

void RunMonitor::NoteClosedFiles()
{
    closedNow.clear();
    d.changeNotification.Rearm(closedNow);
    closedFiles.insert(closedNow.begin(), closedNow.end());
}

RunMonitor::PageReadiness RunMonitor::CheckPage(std::int32_t pageNumber, bool childEnded,
                                                bool cleanExit)
{
    const std::wstring name = PageFileName(pageNumber);
    if (name.empty() || !ZFileStorage(ZString(name)).Exists())
        return PageReadiness::NotYet;
    // Ghostscript closes page n before it opens page n + 1, so either of a
    // close and the next file tells that page n's file is closed. Neither
    // proves the file whole: the system also closes the file of a killed
    // child, a write that failed (a full disk) leaves a closed, short file,
    // and the job itself may write a file under a page's name (also the next
    // page's, ahead of Ghostscript). For the image formats the file's whole
    // structure decides, read once a sign of its close is there: a file cut
    // short is unfinished only once its own close or the child's end was
    // seen. Elsewhere only the next page's file or the child's clean exit
    // shows that the file was finished.
    const std::wstring leaf = name.substr(d.outputFolder.size());
    const bool closeSeen = closedFiles.count(leaf) != 0 || childEnded;
    if (HasPageCheck(d.format)) {
        if (!closeSeen && !PageFileExists(pageNumber + 1))
            return PageReadiness::NotYet;
        switch (CheckPageFile(name, d.format, d.pageWidth, d.pageHeight, &brokenWhy)) {
        case PageFileState::Whole:
            return PageReadiness::Complete;
        case PageFileState::CutShort:
            return closeSeen ? PageReadiness::Broken : PageReadiness::NotYet;
        default:
            brokenCutShort = false;
            return PageReadiness::Broken;
        }
    }
    if (PageFileExists(pageNumber + 1) || (childEnded && cleanExit))
        return PageReadiness::Complete;
    return childEnded ? PageReadiness::Broken : PageReadiness::NotYet;
}

void RunMonitor::HandOverCompletePages(bool childEnded, bool cleanExit)
{
    while (brokenPage == 0 && !d.stopRequested) {
        const std::int32_t next = d.pagesProduced + 1;
        switch (CheckPage(next, childEnded, cleanExit)) {
        case PageReadiness::NotYet:
            return;
        case PageReadiness::Complete:
            // A page that takes the run past its byte limit is not handed out.
            if (CheckLimits(true))
                return;
            HandOver(next);
            break;
        case PageReadiness::Broken:
            // A page Ghostscript did not finish: nothing from it on is handed
            // out, and the run is drained like a stop. The child gets the
            // stop's grace to end by itself, because a write that failed (a
            // full disk) makes it report the cause on its way out; the run is
            // failed once its end is known, so that a host that sees the
            // failure also sees that cause.
            brokenPage = next;
            d.stopEvent.Set();
            return;
        }
    }
}

void RunMonitor::HandOver(std::int32_t pageNumber)
{
    // Ghostscript wrote the header before the page's file: read now, it is
    // known when the page goes out, and no page need wait for it.
    ReadOutput(kReadsBeforeHandOver);
    // AddPage takes the lock itself; pagesProduced counts the page only after
    // the engine has stored it, so a waiter never finds it missing.
    d.owner->AddPage(pageNumber, BitmapFile(PageFileName(pageNumber)));
    d.pagesProduced = pageNumber;
    d.pageEvent.Notify();
}

void RunMonitor::ChildEnded()
{
    // The rest of the output first (the child is gone, so the reads end): the
    // header values it may still hold are then known when the last pages are
    // announced.
    ReadOutput(-1);
    ReadError(-1);
    int code = 0;
    bool signalled = false;
    {
        ZLock guard(d.lock);
        if (!d.process.TryGetExitCode(code))
            code = 0;
        signalled = d.process.EndedBySignal();
    }
    NoteClosedFiles();
    HandOverCompletePages(true, code == 0);
    ZLock guard(d.lock);
    // A file written up to the byte limit ends the child (the system's file
    // size limit) before the count would have seen it; the file may be one
    // Ghostscript removed as soon as it made it, which no count sees.
    if (code != 0 && !d.stopRequested && d.maxOutputBytes > 0 &&
        (Platform::ChildProcess::IsFileSizeLimitEnd(code) ||
         BytesWritten() >= static_cast<std::uint64_t>(d.maxOutputBytes)))
        d.FailRun(RIP_STAGE_RENDER, "the job wrote more than its limit of " + Bytes(d.maxOutputBytes) + " after " +
                                        Pages(d.pagesProduced));
    if (brokenPage != 0)
        FailBrokenPage();
    if (code != 0) {
        // The exit code and Ghostscript's own report name the cause.
        d.failure.SetChildEnd(code, signalled, d.pagesProduced, d.stopRequested);
        d.FailRun(RIP_STAGE_RENDER, "Ghostscript failed", true);
    } else if (d.pagesProduced == 0 && !d.stopRequested && d.owner->ExpectsPages()) {
        // Ghostscript reports a PDF it cannot open (broken, encrypted) and
        // still ends well.
        d.FailRun(RIP_STAGE_RENDER, d.failure.GetNoPagesReason());
    }
    d.process = Platform::ChildProcess();
}

}  // namespace Quillet
