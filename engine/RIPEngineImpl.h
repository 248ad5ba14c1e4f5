// RIPEngineImpl: runs the Ghostscript children of a job, relays the job into
// them, reads their output and collects the page files they write.
#pragma once

#include <quillet/IRIPBase.h>

#include "engine/PagePlan.h"
#include "engine/PageProof.h"
#include "engine/RunFailure.h"
#include "platform/ChildProcess.h"
#include "platform/Confinement.h"
#include "platform/PageWatch.h"
#include "platform/Event.h"
#include "platform/FileHandle.h"
#include "platform/HeldFolder.h"
#include "platform/ZTypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Quillet {

class RIPEngine;
class RunMonitor;

/// Wakes every thread waiting for a page. A waiter notes the generation, makes
/// its decision under the runner's lock and then waits for the generation to
/// move on; a page that arrives in between is therefore never missed, and all
/// waiters wake at once (an auto-reset event would wake only one).
class PageSignal {
public:
    std::uint64_t Generation() const;
    /// Moves the generation on and wakes all waiters.
    void Notify();
    /// Returns once the generation differs from seen, or after timeoutMs.
    void WaitForChange(std::uint64_t seen, int timeoutMs);

private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t generation = 0;
};

/// One Ghostscript process of a run: its pipes, its child and what the run
/// monitor knows of it. Owned by the runner's record; its handles are the
/// monitor's alone while the run goes on (the host closes them only after
/// joining the monitor), its child is used under the runner's lock.
struct GhostscriptWorker {
    /// The read end of the worker's input (its standard input, closed once
    /// the child holds it) and our end, non-blocking, so that a full pipe
    /// never stops the monitor. Closing ours ends the worker's input.
    Platform::UniqueHandle inputRead;
    Platform::UniqueHandle inputWrite;
    /// Our read ends of its standard output and standard error
    /// (non-blocking), and the child's ends, closed once the child holds
    /// them.
    Platform::UniqueHandle outputPipe;
    Platform::UniqueHandle outputPipeClient;
    Platform::UniqueHandle errorPipe;
    Platform::UniqueHandle errorPipeClient;
    /// The child while it runs, and its command line.
    Platform::ChildProcess process;
    std::vector<std::wstring> argv;
    /// The names of the page files it writes, counted in its own order.
    std::wstring pagePattern;
    /// Its output and standard error, read for the report and the cause of
    /// its failure.
    RunFailure report;
    /// The run's own lines in its output, read for a page the prolog
    /// refused as too large.
    TaggedLines limitLines;
    /// The monitor's own: how much of the run's input it was given, whether
    /// its output pipes are open, whether it started, ended (with which
    /// code) or was ended by the run after its share.
    std::uint64_t inputOffset = 0;
    bool outputOpen = true;
    bool errorOpen = true;
    bool started = false;
    bool ended = false;
    bool retired = false;
    /// No longer counted among the host's running processes.
    bool released = false;
    Platform::ChildEnd end;
};

/// The runner's record: the workers of the current run, its flags and its
/// page counter. Owned by one RIPEngineImpl.
struct RIPEngineImplData {
    explicit RIPEngineImplData(RIPEngine* owner);

    /// The run's Ghostscript processes; the first reads the job's header.
    std::vector<std::unique_ptr<GhostscriptWorker>> workers;
    /// Which worker renders which page of the run.
    PagePlan plan;
    /// The processes the run may have at most (the processors it may use),
    /// and the rendering threads each gets.
    std::int32_t maxWorkers = 1;
    std::int32_t renderingThreads = 1;
    /// The document page of the run's first page (1 without a range), and
    /// whether the host asked for a range.
    std::int32_t firstPage = 1;
    bool pageRange = false;
    /// The run's Ghostscript arguments, with the output entry at runArgsOutput,
    /// from which each worker's are made (also on the monitor thread, for
    /// workers started once the run's page count is known).
    std::vector<std::wstring> runArgs;
    std::size_t runArgsOutput = 0;
    std::wstring program;
    /// Where the job is read from; set by the engine before each start, owned
    /// by the job description, never closed here.
    Platform::NativeHandle jobSource = Platform::kInvalidHandle;
    /// Pages handed to AddPage in this run (written by the monitor only).
    std::atomic<std::int32_t> pagesProduced{0};
    /// This run's page-file pattern, output folder and page-name prefix.
    std::wstring pagePattern;
    std::wstring outputFolder;
    std::wstring pagePrefix;
    /// This run's settings, fixed at its start: the format, the size its
    /// pages must have (0 when the host set none), its bounds (0: none).
    RIPFormat format = RIP_PNGALPHA;
    std::int32_t pageWidth = 0;
    std::int32_t pageHeight = 0;
    std::int32_t timeLimitSeconds = 0;
    std::int64_t maxOutputBytes = 0;
    /// Where the time limit counts from (the host's StartRIP), and the bytes
    /// the run held before Ghostscript started (an office document's PDF).
    std::chrono::steady_clock::time_point boundsStart;
    std::uint64_t bytesBeforeRendering = 0;
    std::int64_t maxMemoryBytes = 0;
    std::int32_t maxPages = 0;
    std::int64_t maxPagePixels = 0;
    /// The run's own temporary folder and the confinement its child starts
    /// with; both go when the run has ended.
    Platform::PrivateFolder temporaryFolder;
    std::unique_ptr<Platform::Confinement> confinement;
    /// Watch on outputFolder for new page files.
    Platform::PageWatch changeNotification;
    /// outputFolder, held open from its check to the run's end: Ghostscript
    /// works in it, and the run's files are removed through it.
    Platform::HeldFolder outputHandle;
    /// The document read by its path, open for the run: Ghostscript gets
    /// it as an inherited handle, so that no path is on its command line.
    Platform::UniqueHandle documentHandle;
    /// Asks the monitor to close Ghostscript's input and finish.
    Platform::Event stopEvent{false};
    /// Signalled after every page and at the end of a run.
    PageSignal pageEvent;
    /// No run in progress; a start is allowed only when true.
    std::atomic<bool> idle{true};
    /// The current or last run failed; reset by the next start. Set only
    /// through FailRun.
    std::atomic<bool> failed{false};
    /// A stop was asked for in the current or last run: no page is handed
    /// out or announced after it. Reset by the next start.
    std::atomic<bool> stopRequested{false};
    /// The host released the engine from a page callback: the monitor
    /// destroys it once the run has ended.
    std::atomic<bool> releaseRequested{false};
    /// Why the last start or run failed; cleared by the engine at each start.
    RunFailure failure;
    /// Marks the run as failed and records why (see RunFailure::Set); the one
    /// place that does.
    void FailRun(RIPStage stage, const std::string& reason, bool weak = false)
    {
        failure.Set(stage, reason, weak);
        failed = true;
    }
    RIPEngine* const owner;
    /// Guards the run's state and, for the engine, its page table. Held only
    /// for short steps that call no host code and take no other lock of the
    /// engine, so it is a plain mutex: a page callback runs without it.
    std::mutex lock;
    /// The monitor thread of the current or last run.
    std::thread monitorThread;
    /// The children's extra environment, for the monitor thread, which starts
    /// them: each child is tied to that thread's life.
    std::vector<std::pair<std::wstring, std::wstring>> childEnvironment;
    /// Set by the monitor as its very last step, so that a stop can wait for it
    /// with a bound; spawnDone once it has tried to start the children.
    std::mutex endMutex;
    std::condition_variable endCondition;
    bool monitorEnded = true;
    bool spawnDone = true;
    /// Times the monitor woke up, for tests that check it sleeps when idle.
    std::atomic<std::uint64_t> monitorWakeUps{0};
    /// Ghostscript processes started for the current or last run.
    std::atomic<std::int32_t> processesStarted{0};
};

/// Runs Ghostscript for one engine, one job at a time. Owned by its RIPEngine
/// for the engine's whole life.
///
/// A run uses up to one Ghostscript process per processor (GetProcessorCount;
/// fewer while other runs of the host use some), each rendering its share of
/// the pages (PagePlan); the host sees one run, its pages in order. Jobs
/// with fewer pages than PagePlan::kMinPagesToShare, the single-file formats
/// and split/merge runs have one process.
///
/// Threads: StartGhostscript, StopGhostscript and WaitForPage are called on the
/// host's thread (WaitForPage by several at once if the host likes); the
/// monitor thread (RunMonitor.cpp) does the work of a run. A stop never ends
/// the monitor forcibly: it kills the children, and the monitor, seeing them
/// end, finishes by itself and is joined. No child outlives its run's stop.
class RIPEngineImpl {
public:
    /// Creates the record (idle, not failed, no pages). Throws
    /// std::runtime_error when the stop event cannot be created.
    explicit RIPEngineImpl(RIPEngine* owner);
    /// Stops a run in progress and joins its monitor.
    virtual ~RIPEngineImpl();
    RIPEngineImpl(const RIPEngineImpl&) = delete;
    RIPEngineImpl& operator=(const RIPEngineImpl&) = delete;

    /// Starts a run on jobSource. Throws std::runtime_error with "Cannot start.
    /// RIP in progress", "Cannot start. Invalid job" (kInvalidHandle),
    /// "Unable to create data source pipe.", "Unable to create Pipe." or
    /// "Unable to Launch Ghostscript Process thread."; nothing runs then. A
    /// null source (Platform::kNullHandle: the job could not be opened), a
    /// page size or resolution that cannot be rendered, a folder that cannot
    /// be made or watched (also when the system's limit of folder watches is
    /// reached), a default folder that is not the user's own, and a private
    /// temporary folder or confinement that cannot be prepared, and a page
    /// range that is no range, fail the run with a reason and return without
    /// one. A child that cannot be started fails the run, which ends at once.
    /// The children are started, confined, by the run's monitor thread and
    /// die with it, so none outlives the host process either.
    void StartGhostscript();
    /// Ends the current run, if any: asks the monitor to finish (it closes
    /// Ghostscript's input and kills the children that have not ended 1 s
    /// later), waits up to 10 s, then kills them and waits for the monitor to
    /// notice. Closes the run's handles; afterwards idle is true and
    /// pagesProduced 0. Never throws. Called from a page callback (on the
    /// monitor thread itself) it only asks the monitor to finish.
    void StopGhostscript();
    /// Kills the children of the current run; the monitor then ends by itself.
    void TerminateGhostscript();
    /// Blocks until the run's page pageNumber (counted from its first page)
    /// is ready (true) or the run has ended without it (false).
    bool WaitForPage(std::int32_t pageNumber);
    /// The document page of the current or last run's first page (the page
    /// range's start, else 1).
    std::int32_t GetFirstPage() const { return data->firstPage; }

    /// Sets where the next run reads its job from (not owned).
    void SetJobSource(Platform::NativeHandle source) { data->jobSource = source; }
    Platform::NativeHandle GetJobSource() const { return data->jobSource; }

    std::mutex& GetLock() { return data->lock; }
    RunFailure& GetFailure() { return data->failure; }
    bool IsIdle() const { return data->idle.load(); }
    bool IsFailed() const { return data->failed.load(); }
    std::int32_t GetPagesProduced() const { return data->pagesProduced.load(); }
    bool IsStopRequested() const { return data->stopRequested.load(); }
    /// True on the current run's monitor thread (inside a page callback).
    bool IsMonitorThread() const { return data->monitorThread.get_id() == std::this_thread::get_id(); }
    /// From a page callback: stops the run, and the monitor destroys the
    /// owning engine once the run has ended.
    void RequestRelease();
    /// How often the monitor threads of this runner have woken up so far.
    std::uint64_t GetMonitorWakeUps() const { return data->monitorWakeUps.load(); }
    /// How many Ghostscript processes the current or last run started.
    std::int32_t GetProcessesStarted() const { return data->processesStarted.load(); }

private:
    friend class RunMonitor;

    /// The monitor thread's body (RunMonitor.cpp).
    void MonitorGhostscript();
    void MonitorThreadEntry();
    void CloseRunHandles();
    void JoinMonitor();
    /// Makes the run's temporary folder and confinement; false, with the run
    /// failed and its handles closed, when either cannot be had.
    bool PrepareConfinement(const std::wstring& ghostscriptRoot);
    /// Decides the run's processes and makes their pipes, on the host's
    /// thread; throws as StartGhostscript does.
    void PlanWorkers(std::int32_t first, std::int32_t last);
    /// Gives worker its pipes. Throws "Unable to create data source pipe." or
    /// "Unable to create Pipe." when the system refuses one.
    static void CreateWorkerPipes(GhostscriptWorker& worker);
    /// Starts the planned workers that have not started (monitor thread);
    /// false when one of them could not be (the run is failed then).
    bool SpawnWorkers();
    /// Adds and starts a worker that renders the whole job, every page, with
    /// every processor's threads (monitor thread): the run's fallback when
    /// the page lists lost a page. Its index, or kNoWorker when it could not
    /// be started (the run is failed then). Throws as CreateWorkerPipes.
    std::size_t SpawnSoleWorker();
    static constexpr std::size_t kNoWorker = static_cast<std::size_t>(-1);
    /// Starts worker with the run's arguments and these; false, with the run
    /// failed, when the system refuses.
    bool SpawnWorker(GhostscriptWorker& worker, const std::vector<std::wstring>& pageSwitches,
                     std::int32_t renderingThreads);
    /// A Ghostscript process of this host took milliseconds from its start
    /// to opening a PDF: taken into the cost of another process (any thread).
    static void NoteStartup(std::int32_t milliseconds);
    /// The names of worker w's own page files, counted in its own order.
    std::wstring OwnPagePattern(std::size_t w) const;
    /// Kills and reaps worker's child, if any, and stops counting it among
    /// the host's running processes. Under the lock.
    static void ReleaseWorker(GhostscriptWorker& worker);
    void SignalSpawnDone();
    bool WaitForMonitorEnd(int timeoutMs);

    std::unique_ptr<RIPEngineImplData> data;
};

}  // namespace Quillet
