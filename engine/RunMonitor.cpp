// The run monitor: the thread that relays the job into Ghostscript, reads its
// standard output for the header scan, hands finished pages to the engine and
// records the run's outcome.
#include "engine/RIPEngineImpl.h"

#include "engine/OutputFormats.h"
#include "engine/RIPEngine.h"
#include "platform/Pipe.h"
#include "platform/WaitSet.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"

#include <quillet/BitmapFile.h>

#include <cstddef>
#include <vector>

namespace Quillet {

namespace {

// Job data goes into Ghostscript, and its output comes back, in pieces of this size.
constexpr std::size_t kChunkSize = 8192;
// A job file still locked by its writer is tried again after this time.
constexpr int kLockedRetryMs = 200;
// After a stop request a run that stays silent this long is ended.
constexpr int kStopSilenceMs = 1000;
// Output pieces read per wake-up, so that a chatty child cannot keep the
// monitor from its other work.
constexpr int kReadsPerWakeUp = 16;

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

    bool RelayJobData();
    void CloseInput();
    void ReadOutput(int maxReads);
    void ReadError(int maxReads);
    bool PageFileExists(std::int32_t pageNumber) const;
    std::wstring PageFileName(std::int32_t pageNumber) const;
    void HandOver(std::int32_t pageNumber);
    void ChildEnded();

    RIPEngineImplData& d;
    std::vector<char> input = std::vector<char>(kChunkSize);
    std::size_t pendingOffset = 0;  // the part of input not yet written
    std::size_t pendingSize = 0;
    bool sourceLocked = false;
    std::vector<char> output = std::vector<char>(kChunkSize);
    bool outputOpen = true;
    bool errorOpen = true;
    bool stopRequested = false;
    bool hostStopped = false;  // the stop came from the host, not from a failure draining the run
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

    std::vector<Platform::WaitItem> items;
    std::vector<Source> sources;
    while (running) {
        // A failure while the input is still open (the job could not be read,
        // or Ghostscript's input could not be written) drains the run.
        if (d.failed && d.inputWrite.IsValid())
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

        // Without a stop request or a locked source there is nothing to do
        // until one of the handles reports: no time-out at all.
        int timeout = -1;
        if (stopRequested)
            timeout = kStopSilenceMs;
        else if (sourceLocked && d.inputWrite.IsValid())
            timeout = kLockedRetryMs;

        const int ready = Platform::WaitAny(items.data(), items.size(), timeout);
        ++d.monitorWakeUps;
        if (ready == Platform::kWaitTimeout) {
            if (stopRequested) {
                const std::int32_t pages = d.pagesProduced;
                d.failure.Set(hostStopped ? RIP_STAGE_STOP : RIP_STAGE_RENDER,
                              std::string("Ghostscript did not end after ") +
                                  (hostStopped ? "the stop" : "its job failed") + " and was killed after " +
                                  std::to_string(pages) + (pages == 1 ? " page" : " pages"));
                d.failed = true;
                break;
            }
            sourceLocked = !RelayJobData();
            continue;
        }
        if (ready < 0 || static_cast<std::size_t>(ready) >= sources.size()) {
            d.failure.Set(RIP_STAGE_RENDER, "waiting for Ghostscript failed");
            d.failed = true;
            break;
        }
        switch (sources[static_cast<std::size_t>(ready)]) {
        case Source::Stop:
            d.stopEvent.Consume();
            CloseInput();
            stopRequested = true;
            hostStopped = hostStopped || !d.failed;
            break;
        case Source::Child:
            ChildEnded();
            running = false;
            break;
        case Source::Folder: {
            // Re-armed before looking, so that a file created after the look
            // still leaves a notification behind. One page per notification:
            // page n is complete once the file of page n + 1 exists.
            d.changeNotification.Rearm();
            const std::int32_t next = d.pagesProduced + 1;
            if (PageFileExists(next + 1))
                HandOver(next);
            break;
        }
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
    }

    // Left without seeing the child's end (silence after a stop, or a failed
    // wait): the child is killed and reaped.
    ZLock guard(d.lock);
    d.process = Platform::ChildProcess();
    d.idle = true;
}

bool RunMonitor::RelayJobData()
{
    if (!d.inputWrite.IsValid())
        return true;
    if (pendingSize == 0) {
        std::size_t count = 0;
        switch (Platform::ReadSource(d.jobSource, input.data(), input.size(), count)) {
        case Platform::ReadStatus::Data:
            pendingOffset = 0;
            pendingSize = count;
            break;
        case Platform::ReadStatus::Locked:
            return false;
        case Platform::ReadStatus::End:
            CloseInput();
            return true;
        case Platform::ReadStatus::Error:
            d.failure.Set(RIP_STAGE_RENDER, "the job source cannot be read");
            d.failed = true;
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
            d.failure.Set(RIP_STAGE_RENDER, "Ghostscript stopped reading the job", true);
            d.failed = true;
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

void RunMonitor::HandOver(std::int32_t pageNumber)
{
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
    for (std::int32_t n = d.pagesProduced + 1; PageFileExists(n); ++n)
        HandOver(n);
    ZLock guard(d.lock);
    int code = 0;
    if (!d.process.TryGetExitCode(code))
        code = 0;
    if (code != 0)
        d.failed = true;
    d.failure.SetChildEnd(code, d.pagesProduced, hostStopped);
    d.process = Platform::ChildProcess();
}

}  // namespace Quillet
