// RIPEngineImpl: the start and stop of a Ghostscript run and the page wait.
// The monitor thread's work is in RunMonitor.cpp.
#include "engine/RIPEngineImpl.h"

#include "engine/GhostscriptArgs.h"
#include "engine/OutputFormats.h"
#include "engine/PageCheck.h"
#include "engine/RIPEngineImplData.h"
#include "platform/Pipe.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace Quillet {

namespace {

// How long a stop waits for the monitor before it kills the child.
constexpr int kStopWaitMs = 10000;
// A page waiter looks again at least this often.
constexpr int kPagePollMs = 1000;
// Ghostscript's input pipe holds no more than this, so that a stop finds little
// job data ahead of Ghostscript still to be rendered.
constexpr std::size_t kInputPipeBytes = 16384;

// Ghostscript processes the runs of this host have now, so that a run takes
// only the processors no other run uses.
std::atomic<std::int32_t> runningProcesses{0};

// A Ghostscript process's start up to the opening of a PDF, as the runs of
// this host measure it (a moving average, in milliseconds): what another
// process costs a run.
std::atomic<std::int32_t> startupEstimateMs{100};
// Bounds of a start taken into the average: a start slowed by a cold disk
// cache or a loaded machine says little about the next.
constexpr std::int32_t kMinStartupMs = 30;
constexpr std::int32_t kMaxStartupMs = 500;
// A page of no size the host set: a letter page, at the run's resolution
// (Ghostscript's default resolution when the host set none).
constexpr double kDefaultPageInches = 8.5 * 11;
constexpr double kDefaultResolution = 72;

/// Why Ghostscript could not be started with argv, the spawn having failed
/// with the OS error error.
std::string SpawnFailure(const std::vector<std::wstring>& argv, const std::error_code& why)
{
    if (why == std::errc::argument_list_too_long) {
        // Most likely the host's custom or IJS parameters: the system limits
        // the command line and each argument.
        std::size_t bytes = 0;
        for (const std::wstring& arg : argv)
            bytes += ToUtf8(arg).size() + 1;
        return "Ghostscript cannot be started: its command line of " + std::to_string(bytes) +
               " bytes is longer than the system allows (" + why.message() + ")";
    }
    return "Ghostscript cannot be started: " + (argv.empty() ? std::string() : ToUtf8(argv[0])) +
           (why ? " (" + why.message() + ")" : std::string());
}

}  // namespace

std::uint64_t PageSignal::Generation() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return generation;
}

void PageSignal::Notify()
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        ++generation;
    }
    changed.notify_all();
}

void PageSignal::WaitForChange(std::uint64_t seen, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(mutex);
    changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                     [&] { return generation != seen; });
}

RIPEngineImplData::RIPEngineImplData(RunListener& listener) : listener(listener) {}

RIPEngineImpl::RIPEngineImpl(RunListener& listener) : data(std::make_unique<RIPEngineImplData>(listener)) {}

RIPEngineImpl::~RIPEngineImpl()
{
    // Also after a run that ended by itself: its thread is joined and its
    // handles closed here. Never left to the monitor: the record goes now.
    if (RequestStop() && !WaitForMonitorEnd(kStopWaitMs))
        TerminateGhostscript();
    JoinMonitor();
    CloseRunHandles();
}

std::int32_t RIPEngineImpl::GetDocumentPage(std::int32_t k) const
{
    return data->pages.GetDocumentPage(k);
}

std::int32_t RIPEngineImpl::GetRunPage(std::int32_t page) const
{
    return data->pages.GetRunPage(page);
}

RunFailure& RIPEngineImpl::GetFailure()
{
    return data->failure;
}

bool RIPEngineImpl::IsIdle() const
{
    return data->idle.load();
}

bool RIPEngineImpl::IsFailed() const
{
    return data->failed.load();
}

std::int32_t RIPEngineImpl::GetPagesProduced() const
{
    return data->pagesProduced.load();
}

bool RIPEngineImpl::IsStopRequested() const
{
    return data->stopRequested.load();
}

std::int32_t RIPEngineImpl::GetProcessesStarted() const
{
    return data->processesStarted.load();
}

bool RIPEngineImpl::IsMonitorThread() const
{
    return data->monitorThread.get_id() == std::this_thread::get_id();
}

void RIPEngineImpl::StartGhostscript(RunSetup setup)
{
    RIPEngineImplData& d = *data;
    if (!d.idle)
        throw std::runtime_error("Cannot start. RIP in progress");
    if (setup.jobSource == Platform::kInvalidHandle)
        throw std::runtime_error("Cannot start. Invalid job");

    // A run that ended by itself still has its (finished) thread and handles.
    JoinMonitor();
    CloseRunHandles();
    d.stopEvent.Reset();
    d.failed = false;
    d.stopRequested = false;
    d.pagesProduced = 0;
    d.processesStarted = 0;
    d.setup = std::move(setup);
    d.copies = d.setup.copies;
    d.expectsPages = d.setup.expectsPages;
    if (d.setup.jobSource == Platform::kNullHandle) {
        // Not the host's mistake to be thrown at it: the run fails with a reason.
        d.FailRun(RIP_STAGE_START, "the job source cannot be opened");
        return;
    }
    std::string refused;
    if (!CheckPageGeometry(d.setup.format, d.setup.pageWidth, d.setup.pageHeight, d.setup.resolution, refused,
                           d.setup.maxPagePixels)) {
        d.FailRun(RIP_STAGE_START, refused);
        return;
    }
    // (0, 0) is every page; a range starts at page 1 or later and does not
    // end before it starts (0: at the document's end). A list takes the
    // range's place.
    const std::int32_t first = d.setup.firstPage;
    const std::int32_t last = d.setup.lastPage;
    d.pages = PageList();
    if (!d.setup.pageList.empty()) {
        std::string why;
        if (!PageList::Parse(d.setup.pageList, d.pages, why)) {
            d.FailRun(RIP_STAGE_START, why);
            return;
        }
    } else if (!(first == 0 && last == 0) && !(first >= 1 && (last == 0 || last >= first))) {
        d.FailRun(RIP_STAGE_START, "the page range " + std::to_string(first) + " to " + std::to_string(last) +
                                       " holds no page (pages count from 1, and a range ends at or after its start)");
        return;
    } else {
        d.pages = PageList(std::max(1, first), last);
    }
    d.pageRange = !d.pages.IsEveryPage();

    const std::wstring& folder = d.setup.naming.GetDirectory();
    std::string why;
    if (!d.setup.naming.PrepareFolder(d.outputHandle, why)) {
        CloseRunHandles();
        d.FailRun(RIP_STAGE_START, why);
        return;
    }

    if (!d.setup.documentFile.empty()) {
        d.documentHandle.Reset(Platform::OpenForReading(d.setup.documentFile));
        if (!d.documentHandle.IsValid()) {
            CloseRunHandles();
            d.FailRun(RIP_STAGE_START, "the document " + ToUtf8(d.setup.documentFile) + " cannot be opened");
            return;
        }
    }
    PlanWorkers();
    if (!PrepareConfinement())
        return;

    // Held only while the run goes on: the system allows few watches per user.
    if (const std::error_code error = d.changeNotification.Open(folder)) {
        CloseRunHandles();
        d.FailRun(RIP_STAGE_START, "the output folder " + ToUtf8(folder) + " cannot be watched (" +
                                       error.message() + ")");
        return;
    }

    {
        std::lock_guard<std::mutex> guard(d.endMutex);
        d.monitorEnded = false;
        d.spawnDone = false;
        d.releaseRequested = false;
    }
    // Busy before the thread starts: the monitor's last step sets idle again,
    // and must not be overtaken by this thread.
    d.idle = false;
    try {
        d.monitorThread = std::thread(&RIPEngineImpl::MonitorThreadEntry, this);
    } catch (const std::system_error&) {
        d.idle = true;
        {
            std::lock_guard<std::mutex> guard(d.endMutex);
            d.monitorEnded = true;
            d.spawnDone = true;
        }
        CloseRunHandles();
        throw std::runtime_error("Unable to Launch Ghostscript Process thread.");
    }
    // Returns with the child started (or failed to start), as before the
    // start moved to the monitor thread.
    std::unique_lock<std::mutex> guard(d.endMutex);
    d.endCondition.wait(guard, [&] { return d.spawnDone; });
}

bool RIPEngineImpl::PrepareConfinement()
{
    RIPEngineImplData& d = *data;
    // Ghostscript's temporary folder is where a job may read, write and
    // delete files freely: it gets one of its own, which goes with the run.
    d.temporaryFolder = Platform::PrivateFolder(L"qvrun");
    std::string why;
    if (!d.temporaryFolder.IsValid()) {
        std::wstring temp;
        ZBaseStorage::TempDirPath(temp);
        why = "no private temporary folder can be made for the run in " + ToUtf8(temp);
    } else {
        // A PDF or EPS document is read by its path; a job on the input needs none.
        std::vector<std::wstring> documents;
        if (!d.setup.documentFile.empty())
            documents.push_back(d.setup.documentFile);
        Platform::ConfinementRules rules = Platform::GhostscriptRules(d.setup.root, d.setup.naming.GetDirectory(),
                                                                      d.temporaryFolder.GetPath(), documents);
        // The host's own switches may write elsewhere: where it says.
        rules.writable.insert(rules.writable.end(), d.setup.splitMergeFolders.begin(), d.setup.splitMergeFolders.end());
        rules.maxFileBytes = static_cast<std::uint64_t>(d.setup.maxOutputBytes);
        rules.maxMemoryBytes = static_cast<std::uint64_t>(d.setup.maxMemoryBytes);
        d.confinement = std::make_unique<Platform::Confinement>(std::move(rules));
        if (!d.confinement->IsReady())
            why = "Ghostscript cannot be confined: the rules of its run cannot be prepared";
    }
    if (why.empty())
        return true;
    CloseRunHandles();
    d.FailRun(RIP_STAGE_START, why);
    return false;
}

void RIPEngineImpl::PlanWorkers()
{
    RIPEngineImplData& d = *data;
    const RunSetup& setup = d.setup;
    // Processors that the host's other runs keep busy are not this run's to
    // take: two documents at once get one process each on two processors.
    const std::int32_t processors = std::max(1, GetProcessorCount());
    const std::int32_t available = std::max(1, processors - runningProcesses.load());
    // QUILLET_SHARING: "always" shares by the page counts alone, "never"
    // keeps every run on one process; otherwise the work decides.
    std::string sharing;
    ZUtilities::GetEnv("QUILLET_SHARING", sharing);
    const bool oneProcess = FormatOf(setup.format).singleFile || setup.splitMerge || sharing == "never";
    d.maxWorkers = oneProcess ? 1 : available;
    const bool pdf = !setup.documentFile.empty() && !setup.documentIsEps;
    // Whether sharing pays depends on the work: pages times pixels against
    // what another process costs to start.
    PagePlan::ShareCost cost;
    const double resolution = setup.resolution >= 1 ? setup.resolution : kDefaultResolution;
    cost.pagePixels = setup.pageWidth > 0 ? static_cast<double>(setup.pageWidth) * setup.pageHeight
                                      : resolution * resolution * kDefaultPageInches;
    cost.startupMs = startupEstimateMs.load();
    if (sharing == "always")
        cost.pagePixels = 0;
    if (pdf) {
        d.plan = PagePlan(PagePlan::Kind::Ranges, d.pages, d.maxWorkers, 0, cost);
    } else {
        const std::int32_t declared = setup.documentIsEps ? 1 : ReadDeclaredPageCount(setup.jobSource);
        d.plan = PagePlan(PagePlan::Kind::Interleaved, d.pages, d.maxWorkers, declared, cost);
    }
    // Shared now, or later once a PDF's page count is known.
    const bool shared = d.plan.GetWorkerCount() > 1 || (pdf && d.maxWorkers > 1);
    d.renderingThreads = shared ? std::max(1, processors / d.maxWorkers) : processors;

    // A run of one process for good writes its files under the run's page
    // names. Otherwise each process's files have names of their own, and a
    // page takes the run's name as it is handed out: a process ended after
    // its share may still be making its next file, which must never be one
    // of the run's names.
    const bool identity = !d.pageRange && !shared;
    d.workers.clear();
    const std::int32_t count = pdf ? d.maxWorkers : d.plan.GetWorkerCount();
    for (std::int32_t w = 0; w < count; ++w) {
        auto worker = std::make_unique<GhostscriptWorker>();
        worker->pagePattern = (w == 0 && identity) || FormatOf(setup.format).singleFile
                                  ? setup.naming.GetPattern()
                                  : setup.naming.GetOwnPattern(static_cast<std::size_t>(w));
        if (w < d.plan.GetWorkerCount())
            RIPEngineImplData::CreateWorkerPipes(*worker);
        d.workers.push_back(std::move(worker));
    }
}

void RIPEngineImplData::CreateWorkerPipes(GhostscriptWorker& worker)
{
    Platform::PipePair input;
    if (!Platform::CreatePipe(input) || !Platform::SetNonBlocking(input.write.Get(), true))
        throw std::runtime_error("Unable to create data source pipe.");
    Platform::SetPipeCapacity(input.write.Get(), kInputPipeBytes);  // best effort
    worker.inputRead = std::move(input.read);
    worker.inputWrite = std::move(input.write);

    // Named as Ghostscript's output pipe where pipes have names.
    Platform::PipePair output;
    if (!Platform::CreatePipe(output, L"gstojs") || !Platform::SetNonBlocking(output.read.Get(), true))
        throw std::runtime_error("Unable to create Pipe.");
    worker.outputPipe = std::move(output.read);
    worker.outputPipeClient = std::move(output.write);

    Platform::PipePair error;
    if (!Platform::CreatePipe(error) || !Platform::SetNonBlocking(error.read.Get(), true))
        throw std::runtime_error("Unable to create Pipe.");
    worker.errorPipe = std::move(error.read);
    worker.errorPipeClient = std::move(error.write);
}

bool RIPEngineImplData::SpawnWorkers()
{
    RIPEngineImplData& d = *this;
    const std::size_t planned = static_cast<std::size_t>(d.plan.GetWorkerCount());
    for (std::size_t w = 0; w < planned && w < d.workers.size(); ++w) {
        GhostscriptWorker& worker = *d.workers[w];
        if (!worker.started &&
            !SpawnWorker(worker, d.plan.GetPageSwitches(static_cast<std::int32_t>(w)), d.renderingThreads))
            return false;
    }
    return true;
}

std::size_t RIPEngineImplData::SpawnSoleWorker()
{
    RIPEngineImplData& d = *this;
    const std::size_t w = d.workers.size();
    auto worker = std::make_unique<GhostscriptWorker>();
    worker->pagePattern = d.setup.naming.GetOwnPattern(w);
    d.workers.push_back(std::move(worker));
    // Alone now: every processor's rendering threads are its own.
    return SpawnWorker(*d.workers[w], {}, std::max(1, GetProcessorCount())) ? w : kNoWorker;
}

bool RIPEngineImplData::SpawnWorker(GhostscriptWorker& worker, const std::vector<std::wstring>& pageSwitches,
                                    std::int32_t renderingThreads)
{
    RIPEngineImplData& d = *this;
    const std::wstring& pagePattern = d.setup.naming.GetPattern();
    if (!worker.inputRead.IsValid())
        CreateWorkerPipes(worker);  // a worker that joins the run later
    // Named relative to the output folder, where Ghostscript works.
    const std::wstring ownPattern =
        worker.pagePattern == pagePattern
            ? std::wstring()
            : worker.pagePattern.substr(EscapePercent(d.setup.naming.GetDirectory()).size());
    // The host's split/merge switches name their files as the host sees them.
    Platform::SpawnOptions options;
    if (!d.setup.splitMerge) {
        options.workingFolder = d.outputHandle.GetHandle();
        worker.report.SetOutputPrefix(ToUtf8(d.setup.naming.GetPrefix()));
    }
    if (d.documentHandle.IsValid())
        options.inherited.push_back(d.documentHandle.Get());
    worker.argv = {d.setup.program};
    const std::vector<std::wstring> args =
        GetWorkerArgs(d.setup.args, d.setup.outputAt, pageSwitches, ownPattern, renderingThreads);
    worker.argv.insert(worker.argv.end(), args.begin(), args.end());
    options.environment = d.setup.environment;
    options.stdIn = worker.inputRead.Get();
    options.stdOut = worker.outputPipeClient.Get();
    options.stdErr = worker.errorPipeClient.Get();
    options.confinement = d.confinement.get();
    // Started without the lock, which the host's calls take: the child is
    // the run's (and a stop's to kill) once it is stored under it.
    Platform::ChildProcess child;
    const std::error_code error = Platform::ChildProcess::Spawn(worker.argv, options, child);
    const bool spawned = !error;
    if (spawned) {
        std::lock_guard<std::mutex> guard(d.lock);
        worker.process = std::move(child);
        worker.started = true;
        ++runningProcesses;
        ++d.processesStarted;
    } else {
        // The monitor sees no child and ends the run.
        d.FailRun(RIP_STAGE_START, SpawnFailure(worker.argv, error));
    }
    // The child holds its own copies; ours would keep the pipes open past its end.
    worker.inputRead.Close();
    worker.outputPipeClient.Close();
    worker.errorPipeClient.Close();
    return spawned;
}

void RIPEngineImplData::NoteStartup(std::int32_t milliseconds)
{
    const std::int32_t sample = std::clamp(milliseconds, kMinStartupMs, kMaxStartupMs);
    std::int32_t old = startupEstimateMs.load();
    while (!startupEstimateMs.compare_exchange_weak(old, (old * 3 + sample) / 4)) {
    }
}

void RIPEngineImplData::ReleaseWorker(GhostscriptWorker& worker)
{
    // Under the lock: the host may kill the children meanwhile.
    if (worker.started && !worker.released) {
        worker.released = true;
        --runningProcesses;
    }
    worker.process = Platform::ChildProcess();
}

void RIPEngineImpl::SignalSpawnDone()
{
    {
        std::lock_guard<std::mutex> guard(data->endMutex);
        data->spawnDone = true;
    }
    data->endCondition.notify_all();
}

bool RIPEngineImpl::RequestStop()
{
    RIPEngineImplData& d = *data;
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.idle)
        return false;
    d.stopRequested = true;
    d.stopEvent.Set();
    return true;
}

void RIPEngineImpl::StopGhostscript()
{
    RIPEngineImplData& d = *data;
    if (IsMonitorThread()) {
        // A page callback cannot wait for its own thread to end.
        d.stopRequested = true;
        d.stopEvent.Set();
        return;
    }
    const bool running = RequestStop();
    // Read after the stop is asked for: a monitor that enters a callback
    // later sees the stop and runs none (CallHost), so only one already
    // running can make this thread wait, and that one may be waiting for
    // this thread.
    if (running && d.inHostCode) {
        TerminateGhostscript();
        d.pagesProduced = 0;  // no page counts after a stop; the monitor counts none any more
        return;
    }
    // Waited for without the lock: the monitor takes it while it finishes.
    if (running && !WaitForMonitorEnd(kStopWaitMs))
        TerminateGhostscript();
    JoinMonitor();
    CloseRunHandles();
    d.pagesProduced = 0;
    d.idle = true;
    d.pageEvent.Notify();
}

bool RIPEngineImpl::ReleaseWhenEnded()
{
    RIPEngineImplData& d = *data;
    if (IsMonitorThread()) {
        {
            std::lock_guard<std::mutex> guard(d.endMutex);
            d.releaseRequested = true;
        }
        StopGhostscript();
        return true;
    }
    if (!RequestStop())
        return false;
    {
        // Decided under endMutex, where the monitor's last step reads it: a
        // monitor that has ended already would never see it.
        std::lock_guard<std::mutex> guard(d.endMutex);
        if (d.monitorEnded || !d.inHostCode)
            return false;
        d.releaseRequested = true;
    }
    TerminateGhostscript();
    return true;
}

void RIPEngineImpl::TerminateGhostscript()
{
    // The monitor sees the child's end (its wait handle becomes readable) and
    // finishes by itself; it is never ended forcibly.
    std::lock_guard<std::mutex> guard(data->lock);
    for (const auto& worker : data->workers)
        worker->process.Kill();
}

bool RIPEngineImpl::CallHost(const std::function<void()>& callback)
{
    RIPEngineImplData& d = *data;
    // Marked before the stop is looked at, as a stop asks before it looks at
    // the mark: either the stop sees the mark and does not wait, or this
    // sees the stop and calls nothing.
    d.inHostCode = true;
    struct Unmark {
        std::atomic<bool>& flag;
        ~Unmark() { flag = false; }
    } unmark{d.inHostCode};
    if (d.stopRequested)
        return false;
    callback();
    return true;
}

bool RIPEngineImpl::WaitForPage(std::int32_t pageNumber)
{
    RIPEngineImplData& d = *data;
    for (;;) {
        const std::uint64_t seen = d.pageEvent.Generation();
        {
            std::lock_guard<std::mutex> guard(d.lock);
            if (pageNumber <= d.pagesProduced)
                return true;
            // Not at the first failure: a failing run drains (bounded by the
            // stop's grace), and its cause is known only at its end, which
            // the caller may go on to ask about.
            if (d.idle)
                return false;
        }
        d.pageEvent.WaitForChange(seen, kPagePollMs);
    }
}

void RIPEngineImpl::CloseRunHandles()
{
    RIPEngineImplData& d = *data;
    d.changeNotification.Close();
    {
        // Each child is killed and reaped as its owner goes.
        std::lock_guard<std::mutex> guard(d.lock);
        for (const auto& worker : d.workers)
            RIPEngineImplData::ReleaseWorker(*worker);
        d.workers.clear();
    }
    d.confinement.reset();
    d.temporaryFolder = Platform::PrivateFolder();
    d.outputHandle.Close();
    d.documentHandle.Close();
}

void RIPEngineImpl::JoinMonitor()
{
    if (data->monitorThread.joinable())
        data->monitorThread.join();
}

bool RIPEngineImpl::WaitForMonitorEnd(int timeoutMs)
{
    std::unique_lock<std::mutex> guard(data->endMutex);
    return data->endCondition.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                       [&] { return data->monitorEnded; });
}

void RIPEngineImpl::MonitorThreadEntry()
{
    try {
        // A child that could not be started failed the run; the monitor then
        // ends it at once, or drains the ones that did start.
        data->SpawnWorkers();
        SignalSpawnDone();
        MonitorRun(*data);
    } catch (...) {
        // The outcome is reported through failed; nothing may escape a thread.
        data->FailRunByException(RIP_STAGE_RENDER, "the run monitor failed");
    }
    SignalSpawnDone();  // in case the spawn itself threw
    {
        // Normally done by the monitor's last step; again here in case it threw.
        std::lock_guard<std::mutex> guard(data->lock);
        for (const auto& worker : data->workers)
            RIPEngineImplData::ReleaseWorker(*worker);
        data->changeNotification.Close();
        // The child is gone: its temporary folder goes with the run, and
        // the folder and document it was given are let go.
        data->confinement.reset();
        data->temporaryFolder = Platform::PrivateFolder();
        data->outputHandle.Close();
        data->documentHandle.Close();
        data->idle = true;
    }
    data->pageEvent.Notify();
    bool release = false;
    {
        std::lock_guard<std::mutex> guard(data->endMutex);
        data->monitorEnded = true;
        release = data->releaseRequested;
    }
    data->endCondition.notify_all();
    if (release) {
        // Released while a page callback ran: nobody else may join this
        // thread, and nothing of this object may be touched after the
        // listener has let the engine go.
        data->monitorThread.detach();
        data->listener.OnReleased();
    }
}

}  // namespace Quillet
