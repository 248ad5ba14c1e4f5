// RunFailure: the record of why a service's last start or run failed, with the
// bounded tail of Ghostscript's own report.
#pragma once

#include <quillet/IRIPStatus.h>

#include <cstddef>
#include <mutex>
#include <string>

namespace Quillet {

/// One service's failure record. Written by the host's thread (captures and
/// starts) and by the monitor thread (the run: Ghostscript's output and its
/// end); read by any thread through IRIPStatus. A lock of its own guards it;
/// no other lock is ever taken while it is held.
class RunFailure final : public IRIPStatus {
public:
    RunFailure() = default;
    ~RunFailure() override = default;

    /// The report keeps at most this many bytes: the start of the error
    /// lines and the end of the standard error, half of it each at most.
    static constexpr std::size_t kReportLimit = 4096;

    /// Forgets the failure, the report and the output scan (a new start).
    void Clear();
    /// Records a failure unless one is recorded already. A weak reason (a
    /// consequence that may be seen before its cause, such as Ghostscript no
    /// longer reading its input) gives way to the next reason recorded.
    void Set(RIPStage stage, const std::string& reason, bool weak = false);
    bool IsSet() const;

    /// Ghostscript's standard error: its end goes into the report.
    void AddErrorOutput(const char* bytes, std::size_t count);
    /// Ghostscript's standard output: from the line that holds "Error: " on,
    /// it goes into the report; that line and "Last OS error: " name the cause.
    void AddStandardOutput(const char* bytes, std::size_t count);
    /// Records Ghostscript's end with exit code (128 + s for signal s) after
    /// pages pages; stopping when the host had asked the run to stop. An
    /// exit code of 0 records nothing.
    void SetChildEnd(int code, int pages, bool stopping);

    /// Why a document that has pages gave none although Ghostscript ended
    /// well: its first "****" line on standard error (say, "This file
    /// requires a password for access."), else its error line.
    std::string GetNoPagesReason() const;

    /// The record as the host sees it; false when nothing failed.
    bool GetLastFailure(RIPFailure& failure) override;

private:
    void SetLocked(RIPStage newStage, const std::string& newReason, bool newWeak);

    void EndOutputLine();

    mutable std::mutex mutex;
    RIPStage stage = RIP_STAGE_NONE;
    std::string reason;
    bool weak = false;
    // Kept apart: the two pipes are read in no fixed order, and a job's own
    // flood of error text must not push the error lines out.
    std::string errorLines;       // standard output from the "Error: " line on: the first part
    std::string errorOutput;      // standard error: the last part
    std::string line;             // the standard-output line being read, cut short when long
    bool inErrorReport = false;   // a line holding "Error: " has been seen
    std::string errorLine;        // "/undefined in nosuchop"
    std::string osError;          // "No space left on device"
};

}  // namespace Quillet
