// CaptureDocument: turns the host's input document into a job Ghostscript
// can read, by whichever way its kind needs.
#pragma once

#include "capture/OfficeDocument.h"
#include "capture/OfficePool.h"

#include <memory>
#include <string>

namespace Quillet {

class Document;
class JobInfo;

/// What a capture came to.
enum class CaptureResult {
    Ready,    ///< the job can be read: a PostScript, PDF or EPS document, an office document's PDF, or keys applied
    Refused,  ///< the document may not be printed; nothing was started
    Failed,   ///< a layout or printing failed, no keys came in time, or they were rejected
};

/// A capture's result, and what it made.
struct CaptureOutcome {
    CaptureResult result = CaptureResult::Failed;
    /// Why it did not come to Ready, in one line of English.
    std::string reason;
    /// The document Ghostscript reads by its path (a PDF or EPS document, or
    /// an office document's PDF, which office holds); empty when the job
    /// is the job description's (printed, or PostScript by its name).
    std::wstring file;
    bool eps = false;
    std::unique_ptr<OfficeDocument> office;
};

/// Captures the document at path for job. PDF and EPS documents are read as
/// they are; an office document is laid out as PDF within bounds (whose
/// time limit counts from bounds.start); a PostScript document is read by
/// its name. Any other document is printed to the virtual queue through a
/// tagged copy, which printed holds from then on (replacing the previous
/// one, whose destructor restores the default queue and deletes its copy):
/// the capture waits at most 90 s for the printing and then 20 s for the
/// print path to report the job, applies the job's keys to job and confirms
/// them to the print path. Printing that fails ends the wait at once, and a
/// capture that gives up cancels the job it printed.
///
/// Called on the host's thread; blocks for the whole capture. Throws only
/// what allocation or the office pool throws.
CaptureOutcome CaptureDocument(JobInfo& job, const std::wstring& path, const OfficeRunBounds& bounds,
                               std::unique_ptr<Document>& printed);

}  // namespace Quillet
