// OfficePool: taking, replacing and ending office processes; the public
// calls of OfficeSuite.h.
#include "capture/OfficePool.h"

#include "capture/OfficeProcess.h"
#include "platform/Paths.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "settings/InstallSettings.h"

#include <quillet/IRIPBase.h>

#include <algorithm>
#include <utility>

namespace Quillet {

struct OfficePool::Slot {
    /// Used only by the thread that holds the slot (busy), or under the lock
    /// while it is free.
    std::unique_ptr<OfficeProcess> process;
    bool busy = false;
    /// Ended once its document is done (StopAll came meanwhile).
    bool retire = false;
    /// The process's id as of the last release, for GetProcessIds.
    std::int64_t processId = -1;
};

OfficePool::OfficePool(std::vector<std::wstring> command) : command(std::move(command)) {}

OfficePool::~OfficePool()
{
    StopAll();
}

namespace {

using Clock = std::chrono::steady_clock;

/// What the system bounds a process that serves run by: the run's byte
/// limit on any one file, and a quarter more than the larger of the pool's
/// memory bound and the run's. The run's own memory bound is watched during
/// the layout; the margin lets the watch, which names the bound, see a
/// document that grows first, while an allocation too large at once is
/// refused by the system.
OfficeProcessBounds ProcessBounds(const OfficeRunBounds& run, const OfficeLimits& limits)
{
    OfficeProcessBounds bounds;
    bounds.maxFileBytes = run.maxOutputBytes > 0 ? static_cast<std::uint64_t>(run.maxOutputBytes) : 0;
    if (run.maxMemoryBytes > 0) {
        const auto larger = static_cast<std::uint64_t>(std::max(run.maxMemoryBytes, limits.memoryLimitBytes));
        bounds.maxMemoryBytes = larger + larger / 4;
    }
    return bounds;
}

/// QUILLET_OFFICE_REUSE=always: a process serves later documents whatever
/// the earlier ones left in it, as before processes were proven clean; for
/// capture_bench, which measures what the proof costs.
bool ReuseAlways()
{
    std::string value;
    return ZUtilities::GetEnv("QUILLET_OFFICE_REUSE", value) && value == "always";
}

/// Ends the process-wide pool's processes as the host exits (returns from
/// main, calls exit), so that none of them, and none of their folders,
/// outlives it by a moment. A child forked by the host that exits is not
/// the host: it leaves them alone.
struct EndsWithHost {
    explicit EndsWithHost(OfficePool& pool) : pool(pool), host(ZHelper::GetThisProcessID()) {}
    ~EndsWithHost()
    {
        try {
            if (ZHelper::GetThisProcessID() == host)
                pool.EndWithHost();
        } catch (...) {
        }
    }
    OfficePool& pool;
    const std::uint32_t host;
};

}  // namespace

OfficePool& OfficePool::Instance()
{
    // Never destroyed: a host's threads may still lay out documents while
    // the process exits. Its free processes end as the host exits; a busy
    // one ends as the host's end closes its input.
    static OfficePool* pool = new OfficePool();
    static EndsWithHost ending(*pool);
    return *pool;
}

void OfficePool::SetLimits(const OfficeLimits& wanted)
{
    const OfficeLimits defaults;
    std::lock_guard<std::mutex> guard(lock);
    limits.processes = wanted.processes >= 0 ? wanted.processes : defaults.processes;
    limits.documentsPerProcess = wanted.documentsPerProcess >= 1 ? wanted.documentsPerProcess
                                                                 : defaults.documentsPerProcess;
    limits.timeLimitMs = wanted.timeLimitMs >= 1 ? wanted.timeLimitMs : defaults.timeLimitMs;
    limits.memoryLimitBytes = wanted.memoryLimitBytes >= 1 ? wanted.memoryLimitBytes : defaults.memoryLimitBytes;
}

OfficeLimits OfficePool::GetLimits() const
{
    std::lock_guard<std::mutex> guard(lock);
    return limits;
}

std::int32_t OfficePool::MaxProcesses(const OfficeLimits& bounds) const
{
    if (bounds.processes > 0)
        return bounds.processes;
    return std::clamp(ZUtilities::GetOnlineProcessorCount(), 1, 4);
}

std::unique_ptr<OfficeProcess> OfficePool::Launch(const OfficeProcessBounds& bounds, std::string& failure)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (ending) {
            failure = "the office processes are ending with their host";
            return nullptr;
        }
    }
    std::vector<std::wstring> argv = command;
    if (argv.empty()) {
        argv.push_back(Platform::ProgramPath(InstallSettings::Instance().GetInstallDir(), L"qvoffice"));
        // A build without it (Windows, or no LibreOfficeKit to build it with)
        // says so, rather than a start that fails for want of a file.
        if (!ZFileStorage(ZString(argv.front())).Exists()) {
            failure = "the office process is not available on this system (no " + ToUtf8(argv.front()) + ")";
            return nullptr;
        }
    }
    auto process = std::make_unique<OfficeProcess>();
    if (!process->Start(argv, bounds, failure))
        return nullptr;
    return process;
}

OfficePool::Slot* OfficePool::Acquire(const OfficeLimits& limitsNow, const OfficeProcessBounds& bounds,
                                      Clock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        if (ending)
            return nullptr;
        // A free slot with a process of these bounds beats one with another
        // process, which beats one without: it may be warm.
        auto rank = [&bounds](const Slot& slot) {
            return !slot.process ? 0 : slot.process->GetBounds() == bounds ? 2 : 1;
        };
        Slot* free = nullptr;
        for (const auto& slot : slots)
            if (!slot->busy && (free == nullptr || rank(*slot) > rank(*free)))
                free = slot.get();
        if (free == nullptr && slots.size() < static_cast<std::size_t>(MaxProcesses(limitsNow))) {
            slots.push_back(std::make_unique<Slot>());
            free = slots.back().get();
        }
        if (free != nullptr) {
            free->busy = true;
            return free;
        }
        // A busy process is bounded by the time limit, so this wait is too.
        if (deadline == Clock::time_point::max())
            freed.wait(guard);
        else if (freed.wait_until(guard, deadline) == std::cv_status::timeout)
            return nullptr;
    }
}

void OfficePool::Release(Slot* slot)
{
    std::unique_ptr<OfficeProcess> ending;
    {
        std::lock_guard<std::mutex> guard(lock);
        slot->busy = false;
        slot->processId = slot->process ? slot->process->GetProcessId() : -1;
        if (slot->retire) {
            ending = std::move(slot->process);
            slots.erase(std::find_if(slots.begin(), slots.end(),
                                     [slot](const std::unique_ptr<Slot>& s) { return s.get() == slot; }));
        }
    }
    freed.notify_all();
    // Ended outside the lock: killing it and removing its folder takes a moment.
}

bool OfficePool::Convert(const std::wstring& document, const std::wstring& pdf, const OfficeRunBounds& run,
                         std::string& failure)
{
    const OfficeLimits limitsNow = GetLimits();
    const OfficeProcessBounds bounds = ProcessBounds(run, limitsNow);
    const Clock::time_point runDeadline =
        run.timeLimitSeconds > 0 ? run.start + std::chrono::seconds(run.timeLimitSeconds) : Clock::time_point::max();
    const std::string pastRunLimit = "the job ran past its time limit of " + std::to_string(run.timeLimitSeconds) + " s";
    Slot* slot = Acquire(limitsNow, bounds, runDeadline);
    if (slot == nullptr) {
        failure = run.timeLimitSeconds > 0 && Clock::now() >= runDeadline
                      ? pastRunLimit + " while it waited for LibreOffice"
                      : "the office processes are ending with their host";
        return false;
    }
    std::unique_ptr<OfficeProcess>& process = slot->process;
    // A process of other bounds than this run's is replaced: the system's
    // bounds of a process hold for its life.
    if (process && !(process->GetBounds() == bounds))
        process.reset();
    bool converted = false;
    bool replace = false;
    // A process that dies under a document gets one successor to try again:
    // it may have been killed from outside, or have died while it waited.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!process || process->HasEnded()) {
            process = Launch(bounds, failure);
            if (!process)
                break;
        }
        const Clock::time_point now = Clock::now();
        const bool runFirst = runDeadline < now + std::chrono::milliseconds(limitsNow.timeLimitMs);
        const Clock::time_point deadline = runFirst ? runDeadline : now + std::chrono::milliseconds(limitsNow.timeLimitMs);
        const int waitMs = static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()));
        if (!process->WaitUntilReady(waitMs, failure)) {
            if (runFirst && Clock::now() >= runDeadline)
                failure = pastRunLimit + " while LibreOffice started";
            process.reset();
            break;
        }
        OfficeLayoutBounds layout;
        layout.deadline = deadline;
        layout.runTimeLimit = runFirst ? run.timeLimitSeconds : 0;
        layout.timeLimitMs = limitsNow.timeLimitMs;
        layout.maxBytes = run.maxOutputBytes > 0 ? static_cast<std::uint64_t>(run.maxOutputBytes) : 0;
        layout.maxMemoryBytes = run.maxMemoryBytes > 0 ? static_cast<std::uint64_t>(run.maxMemoryBytes) : 0;
        const OfficeProcess::Outcome outcome = process->Convert(document, pdf, layout, failure);
        if (outcome == OfficeProcess::Outcome::Ended) {
            process.reset();
            continue;
        }
        converted = outcome == OfficeProcess::Outcome::Done;
        // A process that laid out a document which left anything behind (a
        // font it registered, a setting it changed) serves no other.
        replace = outcome == OfficeProcess::Outcome::TimedOut || outcome == OfficeProcess::Outcome::OverLimit ||
                  (!ReuseAlways() && !process->KeepsNothing()) || process->GetDocumentsDone() >= limitsNow.documentsPerProcess ||
                  process->GetResidentBytes() > limitsNow.memoryLimitBytes;
        break;
    }
    if (replace) {
        // The successor starts now, so that the next document finds it ready.
        process.reset();
        std::string ignored;
        process = Launch(bounds, ignored);
    }
    Release(slot);
    return converted;
}

bool OfficePool::StartAhead(std::string* failure)
{
    Slot* slot = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto& existing : slots)
            if (existing->busy || existing->process)
                return true;
        if (slots.empty()) {
            slots.push_back(std::make_unique<Slot>());
        }
        slot = slots.front().get();
        slot->busy = true;
    }
    std::string reason;
    OfficeRunBounds run;
    run.maxOutputBytes = IRIPBase::kDefaultMaxOutputBytes;
    run.maxMemoryBytes = IRIPBase::kDefaultMaxMemoryBytes;
    slot->process = Launch(ProcessBounds(run, GetLimits()), reason);
    const bool started = slot->process != nullptr;
    if (!started && failure != nullptr)
        *failure = reason;
    Release(slot);
    return started;
}

void OfficePool::StopAll()
{
    std::vector<std::unique_ptr<OfficeProcess>> ending;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = slots.begin(); it != slots.end();) {
            if ((*it)->busy) {
                (*it)->retire = true;
                ++it;
            } else {
                ending.push_back(std::move((*it)->process));
                it = slots.erase(it);
            }
        }
    }
    freed.notify_all();
}

void OfficePool::EndWithHost()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    StopAll();
}

std::vector<std::int64_t> OfficePool::GetProcessIds()
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::int64_t> ids;
    for (const auto& slot : slots)
        if (slot->processId >= 0)
            ids.push_back(slot->processId);
    return ids;
}

void SetOfficeLimits(const OfficeLimits& limits)
{
    OfficePool::Instance().SetLimits(limits);
}

OfficeLimits GetOfficeLimits()
{
    return OfficePool::Instance().GetLimits();
}

bool StartOfficeProcess()
{
    try {
        return OfficePool::Instance().StartAhead();
    } catch (...) {
        return false;
    }
}

void StopOfficeProcesses()
{
    try {
        OfficePool::Instance().StopAll();
    } catch (...) {
    }
}

}  // namespace Quillet
