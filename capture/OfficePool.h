// OfficePool: the office processes a host's office documents are laid out
// by, kept running between documents.
#pragma once

#include <quillet/NonCopyable.h>
#include <quillet/OfficeSuite.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Quillet {

class OfficeProcess;
struct OfficeProcessBounds;

/// The bounds of the run a document is laid out for (IRIPBase's): its time
/// limit counts from start, the layout and any wait for a process included;
/// the bytes and memory the office process may take for the document. 0 or
/// less: no bound.
struct OfficeRunBounds {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::int32_t timeLimitSeconds = 0;
    std::int64_t maxOutputBytes = 0;
    std::int64_t maxMemoryBytes = 0;
};

/// A small pool of office processes. A document takes a free process, or
/// starts one while fewer than the limit run, or waits for one to be free;
/// so a process (and its profile) serves one document at a time, and two
/// documents at once are laid out side by side. Processes stay for later
/// documents and are replaced after a document that left anything behind
/// for a later one (a font it registered, a setting: see
/// OfficeProcess::KeepsNothing), after a number of documents, past a memory
/// bound, after a document that took too long or went past a bound of its
/// run, and when they died. A replaced process's successor starts at once.
///
/// The process-wide pool (Instance) is made on first use and never
/// destroyed; as the host exits, its free processes are ended and their
/// folders removed. Other pools (tests) end their processes when destroyed,
/// which must not happen during a Convert. Every operation may be called
/// from any thread.
class OfficePool : private NonCopyable {
public:
    /// command: the office process's program and its first arguments (the
    /// folder comes last); empty: qvoffice in the installation's folder,
    /// looked up at each start.
    explicit OfficePool(std::vector<std::wstring> command = {});
    ~OfficePool();

    static OfficePool& Instance();

    void SetLimits(const OfficeLimits& limits);
    OfficeLimits GetLimits() const;

    /// Lays document out as PDF at pdf, a path in the temporary folder's file
    /// system (where the processes' folders are), in a private folder, within
    /// run's bounds. Blocks until done, for at most the time limit once a
    /// process is free (twice that when the first process died under the
    /// document and a fresh one tries again), and never past the run's time
    /// limit. False with one line of English in failure.
    bool Convert(const std::wstring& document, const std::wstring& pdf, const OfficeRunBounds& run,
                 std::string& failure);
    /// Starts a process when none runs; does not wait for it. False when it
    /// cannot be started, with the reason in failure when given.
    bool StartAhead(std::string* failure = nullptr);
    /// Ends the free processes now and the busy ones after their document.
    void StopAll();
    /// StopAll, and no process starts any more: the host is exiting.
    void EndWithHost();
    /// The ids of the processes started and not yet ended (for tests).
    std::vector<std::int64_t> GetProcessIds();

private:
    struct Slot;

    /// Takes a free slot (one whose process has bounds first), or a new one
    /// while there are fewer than the limit, or waits for one until deadline
    /// (null then, or when the host is exiting).
    Slot* Acquire(const OfficeLimits& limits, const OfficeProcessBounds& bounds,
                  std::chrono::steady_clock::time_point deadline);
    void Release(Slot* slot);
    /// A started process, or null with failure set.
    std::unique_ptr<OfficeProcess> Launch(const OfficeProcessBounds& bounds, std::string& failure);
    std::int32_t MaxProcesses(const OfficeLimits& limits) const;

    const std::vector<std::wstring> command;
    mutable std::mutex lock;
    std::condition_variable freed;
    OfficeLimits limits;
    std::vector<std::unique_ptr<Slot>> slots;
    bool ending = false;  // the host is exiting: no process starts
};

}  // namespace Quillet
