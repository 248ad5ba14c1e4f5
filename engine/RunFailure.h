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
///
/// Ghostscript's standard output carries the job's own text as well as
/// Ghostscript's error report, and a job can print lines that look like one.
/// Only the last report counts: Ghostscript writes its own as the run's last
/// words, after which the job prints nothing more, so whatever a job printed
/// before is replaced by it. And the report names the cause only when
/// Ghostscript ended by itself with an error exit code.
class RunFailure final : public IRIPStatus {
public:
    RunFailure() = default;
    ~RunFailure() override = default;

    /// The report keeps at most this many bytes: the start of the last error
    /// report and the end of the standard error, half of it each at most.
    static constexpr std::size_t kReportLimit = 4096;

    /// Forgets the failure, the report and the output scan (a new start).
    void Clear();
    /// Records a failure unless one is recorded already. A weak reason (a
    /// consequence that may be seen before its cause, such as Ghostscript no
    /// longer reading its input) gives way to the next reason recorded.
    void Set(RIPStage stage, const std::string& reason, bool weak = false);
    bool IsSet() const;
    /// Records the exception being handled (called inside a catch block) as
    /// Set would: its message after context and ": ", or context alone for
    /// one that is no std::exception. The one way an error that was thrown
    /// becomes a failure of a capture, a start or a run.
    void SetFromException(RIPStage stage, const std::string& context, bool weak = false);
    /// Records other's failure as Set would (the first cause stays), and
    /// with it other's report: the failure of one of a run's processes,
    /// whose output other read.
    void Adopt(const RunFailure& other);
    /// Gives this record other's report when it has none of its own yet.
    void TakeReport(const RunFailure& other);

    /// Ghostscript's standard error: its end goes into the report.
    void AddErrorOutput(const char* bytes, std::size_t count);
    /// Ghostscript's standard output: a line holding "Error: ", or beginning
    /// with "Unrecoverable error: ", begins an error report, which replaces
    /// any earlier one; the report's operands and "Last OS error: " name the
    /// cause.
    void AddStandardOutput(const char* bytes, std::size_t count);
    /// Records Ghostscript's end with exit code (128 + s for signal s, and
    /// signalled then true) after pages pages; stopping when the host had
    /// asked the run to stop. An exit code of 0 records nothing.
    void SetChildEnd(int code, bool signalled, int pages, bool stopping);
    /// The start of every output name the run gave Ghostscript (empty: the
    /// host's own switches name them): a file it could not open under any
    /// other name is one the job asked for.
    void SetOutputPrefix(const std::string& prefix);

    /// True when the error report says Ghostscript was refused memory (a
    /// VMerror, or the system's "out of memory").
    bool ReportsMemoryExhausted() const;

    /// Why a document that has pages gave none although Ghostscript ended
    /// well: its first "****" line on standard error (say, "This file
    /// requires a password for access."), else its error line.
    std::string GetNoPagesReason() const;
    /// True when Ghostscript named a cause for giving no pages (a "****" line
    /// or an error line): a split/merge run, whose pages the service does not
    /// see, fails only then.
    bool NamesNoPagesCause() const;

    /// The record as the host sees it; false when nothing failed. Control
    /// characters, which a job could use to drive a terminal the text is
    /// shown on, come out as U+FFFD (line ends stay in the report).
    bool GetLastFailure(RIPFailure& failure) override;

private:
    /// The cause Ghostscript named for giving no pages, empty when none;
    /// detail gets the first error its repair listed. Called under mutex.
    std::string NoPagesCause(std::string& detail) const;

    /// The report's part of the record (what Ghostscript wrote).
    struct Report {
        std::string errorLines;
        std::string errorOutput;
        std::string errorLine;
    };
    Report GetReport() const;
    void SetReportLocked(const Report& report);
    void SetLocked(RIPStage newStage, const std::string& newReason, bool newWeak);
    void EndOutputLine();
    void StartErrorReport(const std::string& firstLine, const std::string& error);
    /// The cause the last error report names, empty when it names none.
    std::string ReportedCause() const;
    /// The file Ghostscript says it could not open; empty when it says none.
    std::string UnopenedFile() const;

    mutable std::mutex mutex;
    RIPStage stage = RIP_STAGE_NONE;
    std::string reason;
    bool weak = false;
    // Kept apart: the two pipes are read in no fixed order, and a job's own
    // flood of error text must not push the error report out.
    std::string errorLines;       // the last error report of the standard output: its start
    std::string errorOutput;      // standard error: the last part
    std::string line;             // the standard-output line being read, cut short when long
    enum class ReportPart { None, Heading, Operands, Rest };
    ReportPart reportPart = ReportPart::None;
    std::string errorLine;        // "/undefined in nosuchop", "limitcheck in .putdeviceprops"
    std::string operands;         // the report's operand stack line
    std::string osError;          // "No space left on device"
    std::string outputPrefix;     // of the run's output names
};

}  // namespace Quillet
