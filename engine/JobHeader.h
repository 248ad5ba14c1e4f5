// JobHeader: the print-job header scan, the one line single_copy.ps writes on
// Ghostscript's standard output, picked out of whatever else the job prints.
#pragma once

#include "engine/PageProof.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace Quillet {

/// The values of a run's job header: its copies, whether they are collated
/// and the orientation of its pages, read from the prolog's header line
/// "TAG Copies=N;Collate=B;Orientation=O;". TAG is the run's secret
/// ("%QuilletRun " and 128 random bits in hex), the line Ghostscript reads
/// before the job; the job cannot learn it, so no line the job prints counts.
///
/// Owned by the engine. Begin is called on the host's thread before a run,
/// Scan on the run's monitor thread; the values are read by any thread. A
/// lock of its own guards the scan, so that a start and the scan of the last
/// run's output never meet.
class JobHeader {
public:
    /// Forgets the values and makes a new tag for the next run; returns it.
    std::string Begin();
    /// The current run's tag, made on first use when there was no run.
    std::string GetTag();
    /// Reads Ghostscript's standard output, piece by piece as it comes. Only
    /// the first header line counts; any other text, the job's own "Copies="
    /// included, changes nothing.
    void Scan(const char* bytes, std::size_t count);

    /// The copies the header asked for (0: none read).
    std::int64_t GetCopies() const { return copies.load(); }
    bool GetCollate() const { return collate.load(); }
    /// 1 to 4 from the header, 0 before one was read.
    std::int32_t GetOrientation() const { return orientation.load(); }

private:
    /// Takes the values from line if it is the prolog's (under lock).
    void ReadLine(const std::string& line);

    std::atomic<bool> collate{false};
    std::atomic<std::int64_t> copies{0};
    std::atomic<std::int32_t> orientation{0};
    std::mutex lock;     // guards the scan's state below
    std::string tag;     // this run's tag, empty before the first
    TaggedLines lines;   // the tagged lines of the output being read
    bool seen = false;   // the run's header has been read
};

}  // namespace Quillet
