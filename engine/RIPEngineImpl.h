// RIPEngineImpl: runs the Ghostscript children of a job, relays the job into
// them, reads their output and collects the page files they write.
#pragma once

#include "engine/RunFailure.h"
#include "engine/RunListener.h"
#include "engine/RunSetup.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace Quillet {

struct RIPEngineImplData;

/// Runs Ghostscript for one engine, one job at a time. Owned by its RIPEngine
/// for the engine's whole life; it knows the engine only as its RunListener.
///
/// A run uses up to one Ghostscript process per processor (GetProcessorCount;
/// fewer while other runs of the host use some), each rendering its share of
/// the pages (PagePlan); the host sees one run, its pages in order. Jobs
/// with fewer pages than PagePlan::kMinPagesToShare, the single-file formats
/// and split/merge runs have one process.
///
/// Threads: StartGhostscript, StopGhostscript and WaitForPage are called on
/// the host's threads (WaitForPage by several at once if the host likes); the
/// monitor thread (RunMonitor.cpp) does the work of a run and makes the
/// listener's calls. A stop never ends the monitor forcibly: it kills the
/// children, and the monitor, seeing them end, finishes by itself and is
/// joined. No child outlives its run's stop.
class RIPEngineImpl {
public:
    /// Creates the record (idle, not failed, no pages). Throws
    /// std::runtime_error when the stop event cannot be created.
    explicit RIPEngineImpl(RunListener& listener);
    /// Stops a run in progress and joins its monitor.
    ~RIPEngineImpl();
    RIPEngineImpl(const RIPEngineImpl&) = delete;
    RIPEngineImpl& operator=(const RIPEngineImpl&) = delete;

    /// Starts the run setup describes. Throws std::runtime_error with "Cannot
    /// start. RIP in progress", "Cannot start. Invalid job" (a job source of
    /// kInvalidHandle), "Unable to create data source pipe.", "Unable to
    /// create Pipe." or "Unable to Launch Ghostscript Process thread.";
    /// nothing runs then. A null source (Platform::kNullHandle: the job could
    /// not be opened), a page size or resolution that cannot be rendered, a
    /// folder that cannot be made or watched (also when the system's limit of
    /// folder watches is reached), a default folder that is not the user's
    /// own, a private temporary folder or confinement that cannot be
    /// prepared, and a page range that is no range, fail the run with a
    /// reason and return without one. A child that cannot be started fails
    /// the run, which ends at once. The children are started, confined, by
    /// the run's monitor thread and die with it, so none outlives the host
    /// process either.
    void StartGhostscript(RunSetup setup);
    /// Ends the current run, if any: asks the monitor to finish (it closes
    /// Ghostscript's input and kills the children that have not ended 1 s
    /// later), waits up to 10 s, then kills them and waits for the monitor to
    /// notice. Closes the run's handles; afterwards idle is true and
    /// pagesProduced 0. Never throws.
    ///
    /// While the monitor is inside a page callback it only stops the run and
    /// kills the children, and returns at once: from the callback itself (the
    /// monitor cannot wait for its own end), and from another host thread,
    /// which the callback may be waiting for. The monitor then ends by itself
    /// once the callback has returned, and the next start, stop or the
    /// destructor joins it.
    void StopGhostscript();
    /// Kills the children of the current run; the monitor then ends by itself.
    void TerminateGhostscript();
    /// Stops the run as StopGhostscript does. True when a page callback is
    /// running meanwhile: the listener's OnReleased is then called once the
    /// monitor is done. False: no run is left that could call it, and the
    /// caller destroys what it must itself.
    bool ReleaseWhenEnded();
    /// Calls callback, host code (a page callback), on the monitor thread
    /// unless the run was stopped; false then. While it runs, a stop or
    /// release from another host thread does not wait for the monitor.
    /// Rethrows what the callback throws.
    bool CallHost(const std::function<void()>& callback);
    /// Blocks until the run's page pageNumber (counted from its first page)
    /// is ready (true) or the run has ended without it (false).
    bool WaitForPage(std::int32_t pageNumber);
    /// The document page of the current or last run's k-th page (k from 1),
    /// by its page range or list.
    std::int32_t GetDocumentPage(std::int32_t k) const;
    /// The current or last run's page that document page is; 0 for a page
    /// outside its range or list.
    std::int32_t GetRunPage(std::int32_t page) const;

    RunFailure& GetFailure();
    bool IsIdle() const;
    bool IsFailed() const;
    std::int32_t GetPagesProduced() const;
    bool IsStopRequested() const;
    /// How many Ghostscript processes the current or last run started.
    std::int32_t GetProcessesStarted() const;

private:
    /// True on the current run's monitor thread (inside a page callback).
    bool IsMonitorThread() const;
    /// Asks the monitor to finish: true when a run goes on.
    bool RequestStop();
    void MonitorThreadEntry();
    void CloseRunHandles();
    void JoinMonitor();
    /// Makes the run's temporary folder and confinement; false, with the run
    /// failed and its handles closed, when either cannot be had.
    bool PrepareConfinement();
    /// Decides the run's processes and makes their pipes, on the host's
    /// thread; throws as StartGhostscript does.
    void PlanWorkers();
    void SignalSpawnDone();
    bool WaitForMonitorEnd(int timeoutMs);

    std::unique_ptr<RIPEngineImplData> data;
};

}  // namespace Quillet
