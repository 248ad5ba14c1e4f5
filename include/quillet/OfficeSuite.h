// The office processes: the office suite the library keeps running to lay out
// office documents as PDF. OfficeLimits, and the calls that start, stop and
// bound them.
#pragma once

#include <quillet/Export.h>

#include <cstdint>

namespace Quillet {

/// Bounds of the office processes. Office documents (.odt, .docx, .xlsx,
/// .pptx, .rtf and their kin) are laid out as PDF by office processes that the
/// library starts on first use and keeps running for the host's later
/// documents; each has a private profile and lays out one document at a
/// time, and none lays out another document once one left anything behind
/// in it (a font it embeds, a setting). A layout is also bounded by its run's
/// time limit, byte limit and memory bound (IRIPBase). None outlives the
/// host, also when the host is killed.
struct OfficeLimits {
    /// At most this many processes lay out documents side by side (more
    /// documents wait for one to be free); 0: one per processor, at most 4.
    std::int32_t processes = 0;
    /// A process is replaced by a fresh one after this many documents.
    std::int32_t documentsPerProcess = 200;
    /// A process that takes longer than this to start or to lay out one
    /// document is ended; that document fails, and the next one starts afresh.
    std::int32_t timeLimitMs = 60000;
    /// A process whose resident memory exceeds this after a document is
    /// replaced by a fresh one.
    std::int64_t memoryLimitBytes = std::int64_t(1) << 30;
};

/// Replaces the bounds; they apply from the next document on. Values below 1
/// (below 0 for processes) keep the default. Any thread.
QUILLET_API void SetOfficeLimits(const OfficeLimits& limits);
/// The bounds in force.
QUILLET_API OfficeLimits GetOfficeLimits();

/// Starts an office process ahead of the first office document, so that the
/// document does not wait for the office suite to start. Returns at once;
/// true when a process is running or starting, false when none can be
/// started (the office process's program is not installed). Any thread.
/// The process is bounded for runs with IRIPBase's default bounds of bytes
/// and memory; the first run with other bounds replaces it with one of its
/// own.
QUILLET_API bool StartOfficeProcess();

/// Ends the office processes that are not laying out a document now, and
/// those that are once their document is done. The next office document
/// starts a fresh one. Any thread.
QUILLET_API void StopOfficeProcesses();

}  // namespace Quillet
