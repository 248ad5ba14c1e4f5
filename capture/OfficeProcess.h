// OfficeProcess: one office process (the program qvoffice, which loads the
// office suite into itself) as the library drives it.
#pragma once

#include <quillet/NonCopyable.h>

#include "platform/ChildProcess.h"
#include "platform/FileHandle.h"
#include "platform/PrivateFolder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Quillet {

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
        TimedOut,  ///< the document took longer than allowed; the process must be ended
        Ended,     ///< the process ended (it crashed, or was killed)
    };

    OfficeProcess() = default;
    /// Ends the process and removes its folder.
    ~OfficeProcess();

    /// Makes a private folder and starts command (the program and its first
    /// arguments) on it, confined. Does not wait for the suite to start.
    /// False with the reason in failure.
    bool Start(std::vector<std::wstring> command, std::string& failure);
    /// Waits at most timeoutMs for the suite to have started; at once when it
    /// has. False with the reason (the suite is missing or could not start,
    /// or took too long) in failure.
    bool WaitUntilReady(int timeoutMs, std::string& failure);
    /// Lays a copy of document out as PDF and moves the PDF to pdf (in the
    /// same file system). Waits at most timeoutMs for the suite.
    Outcome Convert(const std::wstring& document, const std::wstring& pdf, int timeoutMs, std::string& failure);
    /// True once the process has ended (never waits).
    bool HasEnded();
    /// Ends the process at once and removes its folder.
    void End();

    /// The process id (-1 when none), the documents laid out so far, and the
    /// most resident memory the process reported so far.
    std::int64_t GetProcessId() const { return child.GetProcessId(); }
    std::int32_t GetDocumentsDone() const { return documentsDone; }
    std::int64_t GetResidentBytes() const { return residentBytes; }

private:
    /// Convert on document, a copy in the process's folder.
    Outcome LayOut(const std::wstring& document, const std::wstring& pdf, int timeoutMs, std::string& failure);
    enum class LineResult { Line, TimedOut, Ended };
    /// Reads the process's next line of output, waiting at most timeoutMs.
    LineResult ReadLine(int timeoutMs, std::string& line);
    /// "exit code N" or "signal N", once the process has ended.
    std::string HowItEnded();

    Platform::PrivateFolder folder;
    Platform::ChildProcess child;
    Platform::UniqueHandle requests;  // our end of its standard input
    Platform::UniqueHandle replies;   // our end of its standard output, non-blocking
    std::string received;             // output read but not yet taken as lines
    bool ready = false;
    std::int32_t documentsDone = 0;
    std::int64_t residentBytes = 0;
};

}  // namespace Quillet
