// OfficeProcess: one office process (the program qvoffice, which loads the
// office suite into itself) as the library drives it.
#pragma once

#include <quillet/NonCopyable.h>

#include "platform/ChildProcess.h"
#include "platform/FileHandle.h"
#include "platform/PrivateFolder.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Quillet {

/// What the system bounds an office process by for all its life (a file
/// longer than maxFileBytes ends it; memory past maxMemoryBytes is refused);
/// 0: no bound. A process serves the runs whose bounds gave these.
struct OfficeProcessBounds {
    std::uint64_t maxFileBytes = 0;
    std::uint64_t maxMemoryBytes = 0;
    bool operator==(const OfficeProcessBounds& other) const
    {
        return maxFileBytes == other.maxFileBytes && maxMemoryBytes == other.maxMemoryBytes;
    }
};

/// What the layout of one document may take. Past any of it the process is
/// ended and the document fails, naming the bound.
struct OfficeLayoutBounds {
    std::chrono::steady_clock::time_point deadline;
    /// The run's time limit in seconds when the deadline is the run's; 0 when
    /// it is the office processes' own time limit (timeLimitMs).
    std::int32_t runTimeLimit = 0;
    std::int32_t timeLimitMs = 0;
    /// Bytes the process may write for the document: what its folder grows
    /// by, files it removed but holds open included. 0: no bound.
    std::uint64_t maxBytes = 0;
    /// Memory the process may take for its data while it lays the document
    /// out. 0: no bound.
    std::uint64_t maxMemoryBytes = 0;
};

/// One office process and its private folder (mode 0700: the suite's
/// profile, HOME, TMPDIR, the copy of the document it lays out and the PDF
/// it writes). The process is confined as every child that reads documents
/// is, with rules fixed when it starts: it writes only its folder and reads
/// no document but the copy put there. It lays out one document at a time;
/// it ends when its owner ends it, and by itself when its standard input
/// closes, which the system does when the host process dies, however it
/// dies.
///
/// Owned by the office pool; used by one thread at a time. Nothing throws
/// except on allocation.
class OfficeProcess : private NonCopyable {
public:
    enum class Outcome {
        Done,      ///< the PDF was written
        Failed,    ///< the suite could not load or export the document; the process goes on
        TimedOut,  ///< the document took longer than allowed; the process was ended
        OverLimit, ///< the document went past a bound of its run; the process was ended
        Ended,     ///< the process ended (it crashed, or was killed)
    };

    OfficeProcess() = default;
    /// Ends the process and removes its folder.
    ~OfficeProcess();

    /// Makes a private folder and starts command (the program and its first
    /// arguments) on it, confined and bounded by bounds. Does not wait for
    /// the suite to start. False with the reason in failure.
    bool Start(std::vector<std::wstring> command, const OfficeProcessBounds& bounds, std::string& failure);
    /// Waits at most timeoutMs for the suite to have started; at once when it
    /// has. False with the reason (the suite is missing or could not start,
    /// or took too long) in failure.
    bool WaitUntilReady(int timeoutMs, std::string& failure);
    /// Lays a copy of document out as PDF and moves the PDF to pdf (in the
    /// same file system), within bounds; watches the process's writes and
    /// memory meanwhile.
    Outcome Convert(const std::wstring& document, const std::wstring& pdf, const OfficeLayoutBounds& bounds,
                    std::string& failure);
    /// True when everything the process keeps (its profile, its temporary
    /// files: its folder but for the document's copy and its PDF) is as it
    /// was when the suite had started: no document left anything behind for
    /// a later one to find, such as a font it registered or a setting.
    bool KeepsNothing() const;
    /// True once the process has ended (never waits).
    bool HasEnded();
    /// Ends the process at once and removes its folder.
    void End();

    /// The process id (-1 when none), the documents laid out so far, and the
    /// most resident memory the process reported so far.
    std::int64_t GetProcessId() const { return child.GetProcessId(); }
    std::int32_t GetDocumentsDone() const { return documentsDone; }
    std::int64_t GetResidentBytes() const { return residentBytes; }
    const OfficeProcessBounds& GetBounds() const { return bounds; }

private:
    /// Convert on document, a copy in the process's folder.
    Outcome LayOut(const std::wstring& document, const std::wstring& pdf, const OfficeLayoutBounds& limits,
                   std::string& failure);
    enum class LineResult { Line, TimedOut, Ended };
    /// Reads the process's next line of output, waiting at most timeoutMs.
    LineResult ReadLine(int timeoutMs, std::string& line);
    /// "exit code N" or "signal N", once the process has ended; end gets
    /// how it ended, nothing when it did not end.
    std::string HowItEnded(std::optional<Platform::ChildEnd>& end);
    std::string HowItEnded();
    /// The files of the folder that may tell a later document of an earlier one.
    std::map<std::string, std::uint64_t> KeptFiles() const;

    Platform::PrivateFolder folder;
    Platform::ChildProcess child;
    Platform::UniqueHandle requests;  // our end of its standard input
    Platform::UniqueHandle replies;   // our end of its standard output, non-blocking
    std::string received;             // output read but not yet taken as lines
    bool ready = false;
    std::int32_t documentsDone = 0;
    std::int64_t residentBytes = 0;
    OfficeProcessBounds bounds;
    std::map<std::string, std::uint64_t> started;  // KeptFiles once the suite had started
};

}  // namespace Quillet
