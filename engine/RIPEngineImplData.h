// RIPEngineImplData: the runner's own record of a run, its workers and the
// signal of page waiters; private to the runner.
#pragma once

#include "engine/PagePlan.h"
#include "engine/PageProof.h"
#include "engine/RunFailure.h"
#include "engine/RunListener.h"
#include "engine/RunSetup.h"
#include "platform/ChildProcess.h"
#include "platform/Confinement.h"
#include "platform/PageWatch.h"
#include "platform/Event.h"
#include "platform/FileHandle.h"
#include "platform/HeldFolder.h"
#include "platform/PrivateFolder.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Quillet {

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

/// The runner's record: the run it was given, the workers of the current
/// run, its flags and its page counter. Owned by one RIPEngineImpl; private
/// to the runner (RIPEngineImpl.cpp and RunMonitor.cpp).
struct RIPEngineImplData {
    explicit RIPEngineImplData(RunListener& listener);

    /// The current or last run as the engine decided it.
    RunSetup setup;
    /// Whether repeated pages may be copies and whether the job has pages:
    /// the RunSetup's values, until the job's first bytes show a PDF on the input.
    bool copies = true;
    bool expectsPages = false;

    /// The run's Ghostscript processes; the first reads the job's header.
    std::vector<std::unique_ptr<GhostscriptWorker>> workers;
    /// Which worker renders which page of the run.
    PagePlan plan;
    /// The processes the run may have at most (the processors it may use),
    /// and the rendering threads each gets.
    std::int32_t maxWorkers = 1;
    std::int32_t renderingThreads = 1;
    /// The document pages of the run (fixed at its start, read by any
    /// thread while it goes on), and whether the host asked for a range or
    /// a list.
    PageList pages;
    bool pageRange = false;
    /// Pages handed to the listener in this run (written by the monitor only).
    std::atomic<std::int32_t> pagesProduced{0};
    /// The run's own temporary folder and the confinement its child starts
    /// with; both go when the run has ended.
    Platform::PrivateFolder temporaryFolder;
    std::unique_ptr<Platform::Confinement> confinement;
    /// Watch on the output folder for new page files.
    Platform::PageWatch changeNotification;
    /// The output folder, held open from its check to the run's end: Ghostscript
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
    /// The host released the engine while a page callback ran: the monitor
    /// tells the listener once the run has ended (under endMutex).
    bool releaseRequested = false;
    /// The monitor is inside a host callback (RIPEngineImpl::CallHost): a
    /// host thread that stops the run meanwhile must not wait for the
    /// monitor, which may be waiting for that very thread.
    std::atomic<bool> inHostCode{false};
    /// Why the last start or run failed; cleared by the engine at each start.
    RunFailure failure;
    /// Marks the run as failed and records why (see RunFailure::Set); the one
    /// place that does.
    void FailRun(RIPStage stage, const std::string& reason, bool weak = false)
    {
        failure.Set(stage, reason, weak);
        failed = true;
    }
    /// The same for the exception being handled (inside a catch block).
    void FailRunByException(RIPStage stage, const std::string& context)
    {
        failure.SetFromException(stage, context);
        failed = true;
    }
    RunListener& listener;
    /// Guards the run's state. Held only for short steps that call no host
    /// code and take no other lock, so it is a plain mutex: a page callback
    /// runs without it.
    std::mutex lock;
    /// The monitor thread of the current or last run.
    std::thread monitorThread;
    /// Set by the monitor as its very last step, so that a stop can wait for it
    /// with a bound; spawnDone once it has tried to start the children.
    /// endMutex also orders a release during a callback against that end.
    std::mutex endMutex;
    std::condition_variable endCondition;
    bool monitorEnded = true;
    bool spawnDone = true;
    /// Ghostscript processes started for the current or last run.
    std::atomic<std::int32_t> processesStarted{0};

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
    /// Gives worker its pipes. Throws "Unable to create data source pipe." or
    /// "Unable to create Pipe." when the system refuses one.
    static void CreateWorkerPipes(GhostscriptWorker& worker);
    /// Kills and reaps worker's child, if any, and stops counting it among
    /// the host's running processes. Under the lock.
    static void ReleaseWorker(GhostscriptWorker& worker);
    /// A Ghostscript process of this host took milliseconds from its start
    /// to opening a PDF: taken into the cost of another process (any thread).
    static void NoteStartup(std::int32_t milliseconds);
};

/// The monitor thread's work for one run (RunMonitor.cpp): relays the job,
/// reads the children's output, hands pages over and records the outcome.
void MonitorRun(RIPEngineImplData& data);



}  // namespace Quillet
