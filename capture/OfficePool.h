// OfficePool: the office processes a host's office documents are laid out
// by, kept running between documents.
#pragma once

#include <quillet/NonCopyable.h>
#include <quillet/OfficeSuite.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Quillet {

class OfficeProcess;

/// A small pool of office processes. A document takes a free process, or
/// starts one while fewer than the limit run, or waits for one to be free;
/// so a process (and its profile) serves one document at a time, and two
/// documents at once are laid out side by side. Processes stay for later
/// documents and are replaced after a number of documents, past a memory
/// bound, after a document that took too long, and when they died.
///
/// The process-wide pool (Instance) is made on first use and never
/// destroyed: its processes end with the host. Other pools (tests) end their
/// processes when destroyed, which must not happen during a Convert. Every
/// operation may be called from any thread.
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
    /// system (where the processes' folders are), in a private folder. Blocks
    /// until done, for at most the time limit once a process is free (twice
    /// that when the first process died under the document and a fresh one
    /// tries again). False with one line of English in failure.
    bool Convert(const std::wstring& document, const std::wstring& pdf, std::string& failure);
    /// Starts a process when none runs; does not wait for it. False when it
    /// cannot be started, with the reason in failure when given.
    bool StartAhead(std::string* failure = nullptr);
    /// Ends the free processes now and the busy ones after their document.
    void StopAll();
    /// The ids of the processes started and not yet ended (for tests).
    std::vector<std::int64_t> GetProcessIds();

private:
    struct Slot;

    /// Takes a free slot, or a new one while there are fewer than the limit,
    /// or waits for one.
    Slot* Acquire(const OfficeLimits& limits);
    void Release(Slot* slot);
    /// A started process, or null with failure set.
    std::unique_ptr<OfficeProcess> Launch(std::string& failure);
    std::int32_t MaxProcesses(const OfficeLimits& limits) const;

    const std::vector<std::wstring> command;
    mutable std::mutex lock;
    std::condition_variable freed;
    OfficeLimits limits;
    std::vector<std::unique_ptr<Slot>> slots;
};

}  // namespace Quillet
