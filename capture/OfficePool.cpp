// OfficePool: taking, replacing and ending office processes; the public
// calls of OfficeSuite.h.
#include "capture/OfficePool.h"

#include "capture/OfficeProcess.h"
#include "platform/ZUtilities.h"
#include "settings/InstallSettings.h"

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

OfficePool& OfficePool::Instance()
{
    // Never destroyed: a host's threads may still lay out documents while
    // the process exits, and its processes end with it anyway.
    static OfficePool* pool = new OfficePool();
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

std::unique_ptr<OfficeProcess> OfficePool::Launch(std::string& failure)
{
    std::vector<std::wstring> argv = command;
    if (argv.empty())
        argv.push_back(InstallSettings::Instance().GetInstallDir() + L"/qvoffice");
    auto process = std::make_unique<OfficeProcess>();
    if (!process->Start(argv, failure))
        return nullptr;
    return process;
}

OfficePool::Slot* OfficePool::Acquire(const OfficeLimits& bounds)
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        // A free slot with a process beats one without: it may be warm.
        Slot* free = nullptr;
        for (const auto& slot : slots)
            if (!slot->busy && (free == nullptr || (slot->process && !free->process)))
                free = slot.get();
        if (free == nullptr && slots.size() < static_cast<std::size_t>(MaxProcesses(bounds))) {
            slots.push_back(std::make_unique<Slot>());
            free = slots.back().get();
        }
        if (free != nullptr) {
            free->busy = true;
            return free;
        }
        // A busy process is bounded by the time limit, so this wait is too.
        freed.wait(guard);
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

bool OfficePool::Convert(const std::wstring& document, const std::wstring& pdf, std::string& failure)
{
    const OfficeLimits bounds = GetLimits();
    Slot* slot = Acquire(bounds);
    std::unique_ptr<OfficeProcess>& process = slot->process;
    bool converted = false;
    bool replace = false;
    // A process that dies under a document gets one successor to try again:
    // it may have been killed from outside, or have died while it waited.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!process || process->HasEnded()) {
            process = Launch(failure);
            if (!process)
                break;
        }
        if (!process->WaitUntilReady(bounds.timeLimitMs, failure)) {
            process.reset();
            break;
        }
        const OfficeProcess::Outcome outcome = process->Convert(document, pdf, bounds.timeLimitMs, failure);
        if (outcome == OfficeProcess::Outcome::Ended) {
            process.reset();
            continue;
        }
        converted = outcome == OfficeProcess::Outcome::Done;
        replace = outcome == OfficeProcess::Outcome::TimedOut ||
                  (converted && (process->GetDocumentsDone() >= bounds.documentsPerProcess ||
                                 process->GetResidentBytes() > bounds.memoryLimitBytes));
        break;
    }
    if (replace) {
        // The successor starts now, so that the next document finds it ready.
        process.reset();
        std::string ignored;
        process = Launch(ignored);
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
    slot->process = Launch(reason);
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
