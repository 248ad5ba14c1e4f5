// Document: the thread that prints a tagged copy of the input document to the
// virtual queue; DocumentImpl: whether and how a document is printed.
#pragma once

#include <quillet/NonCopyable.h>

#include "platform/ZThread.h"

#include <atomic>
#include <memory>
#include <string>

namespace Quillet {

class QueueManager;

/// The two operations that hand a document to the system's printing.
class DocumentImpl {
public:
    DocumentImpl() = default;
    virtual ~DocumentImpl() = default;
    DocumentImpl(const DocumentImpl&) = delete;
    DocumentImpl& operator=(const DocumentImpl&) = delete;

    /// False for a document without an extension and for the formats whose
    /// applications print badly this way (".cdr;.qxd;.pmd;.vsd;.indd;", any case).
    bool CanPrint(const std::wstring& documentPath) const;
    /// Prints file to queue (by queue name or display name), or to the default
    /// queue when queue is empty. True when the print system took the job;
    /// otherwise failure (when given) says why, in one line of English.
    bool ShellPrint(const std::wstring& file, const std::wstring& queue, std::string* failure = nullptr) const;
};

/// ".QV_PrintDirect", the suffix that marks a tagged copy.
const std::wstring& PrintDirectSuffix();

/// Prints one input document to the virtual queue for a capture, through a
/// copy in the temporary folder whose name carries the job tag, so that the
/// print job carries it too. Falls back to the default queue, switched to the
/// virtual queue, when printing by name fails.
///
/// Owned by the engine, through the capture. The host's thread constructs
/// it, calls IsPostScript, CanPrint and GetJobTag, then StartPrinting; Run
/// then works on its own thread, and the failure reason is read once it has
/// been joined. The destructor joins the thread, restores the default queue
/// and deletes the copy. Never throws except on allocation.
class Document : public ZThread, private NonCopyable {
public:
    explicit Document(const std::wstring& path);
    ~Document() override;

    /// The document's extension is "ps", any letter case.
    bool IsPostScript() const;
    /// Whether the document may be printed (see DocumentImpl::CanPrint).
    bool CanPrint() const;
    const std::wstring& GetPath() const { return path; }
    /// The file stem of the tagged copy; reserves the copy's name (an empty
    /// file) on the first call. Empty when the copy's name cannot be made.
    std::wstring GetJobTag();
    /// The tagged copy's path, once GetJobTag made it.
    const std::wstring& GetCopyPath() const { return copyPath; }
    /// Prepares copyPath and reserves it. True only when it had been prepared
    /// before this call.
    bool PrepareCopyPath();
    /// Copies the document onto the tagged copy (or, if that fails, uses the
    /// document itself) and prints it to queue (empty: the default queue).
    /// A failure's reason is kept unless one is there.
    bool PrintDocument(const std::wstring& queue);
    /// Deletes the tagged copy, if any.
    void DeleteCopy();

    /// The queue to print to (by queue name or display name), set before
    /// the thread starts.
    void SetQueueName(const std::wstring& queue) { queueName = queue; }
    const std::wstring& GetQueueName() const { return queueName; }
    /// Sets the queue and starts the printing thread; false when the thread
    /// cannot be started.
    bool StartPrinting(const std::wstring& queue);
    /// False once printing has failed (to the queue by name, or at all).
    bool GetPrintOk() const { return printOk.load(); }
    /// Why the first print attempt failed; read once the thread has been
    /// joined.
    const std::string& GetFailureReason() const { return failureReason; }

    /// Once printed: asks the print server about the job of the tagged copy.
    /// False, with why in one line of English, when the job can no longer
    /// reach the capture: the server went away, the job's queue is paused,
    /// or the server stopped or ended the job (why then holds its message,
    /// the filter's error for a document it could not convert). Blocks on the
    /// print server; the capture calls it while it waits for the keys.
    bool JobMayStillCome(std::string& why);
    /// Cancels the job of the tagged copy unless the server has ended it, so
    /// that a capture that gives up leaves nothing of its own in the queue.
    void CancelJob();

    /// 0: printed; 5: printed to the default queue although it could not be
    /// switched; kNotPrinted (4): not printed.
    static constexpr tagZBASESTAT kNotPrinted = static_cast<tagZBASESTAT>(4);

protected:
    tagZBASESTAT Run() override;

private:
    std::unique_ptr<DocumentImpl> impl;
    std::wstring path;
    std::wstring copyPath;
    std::unique_ptr<QueueManager> queueManager;
    std::wstring queueName;
    /// Written by Run, read by the host's thread while it runs, hence atomic.
    std::atomic<bool> printOk{true};
    /// Written by Run, read once the thread has been joined.
    std::string failureReason;
};

}  // namespace Quillet
