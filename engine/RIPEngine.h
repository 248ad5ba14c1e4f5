// RIPEngine: the rendering service, the one implementation of IRIPBase.
#pragma once

#include <quillet/IRIPBase.h>

#include "engine/PageProof.h"
#include "engine/SharedPtr.h"
#include "platform/FileHandle.h"
#include "platform/HeldFolder.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Quillet {

class Document;
class JobInfo;
class OfficeDocument;
class RIPEngineImpl;

/// One service: the job description, the Ghostscript runner, the table of
/// finished pages and the values read from the job header.
///
/// Created by CreateRIPService and destroyed through Release. Every public
/// operation of IRIPBase is called on the host's thread; AddPage and
/// ScanJobHeader are called by the runner's monitor thread. The runner's lock
/// (RIPEngineImpl::GetLock) guards the page table, pagesPerCopy, pageNotify
/// and lastNotifiedPage; the header values are atomics and the scan's state
/// has a lock of its own (headerLock), so that a start or DeletePages on the
/// host's thread and the header scan on the monitor thread never touch it at
/// once. No host code and no reading of page files runs under the runner's
/// lock: a page callback may wait for another host thread that calls into
/// the engine.
class RIPEngine : public IRIPBase {
public:
    /// Copies the holder (the engine shares the job description from here on)
    /// and creates the runner. Throws on allocation or OS resource failure.
    explicit RIPEngine(const SharedPtr<JobInfo>& job);

    // The service (IRIPBase).
    bool GetPage(std::int32_t pageNumber, BitmapFile& page) override;
    bool GetPages(IPageNotify* notify, bool asynchronous) override;
    bool GetOutputFile(std::wstring& path) override;
    void StartPreview() override;
    void Stop() override;
    void Cancel() override;
    std::int32_t GetPageCount() override;
    /// Also safe inside OnPageReady: the engine is then destroyed once the
    /// callback (and the delivery that made it) has returned.
    bool Release() override;
    bool StartRIP() override;
    bool DeletePages() override;
    std::int32_t GetNumCopies() override;
    bool GetIsCollated() override;
    std::int32_t GetOrientation() override;
    void SetIntent(const std::wstring& intent) override;

    // Page hand-over, on the monitor thread.
    /// Stores the run's page n (always the runner's pagesProduced + 1; the
    /// document's page GetFirstPage() + n - 1 with a page range) and updates
    /// the copy detection. Calls no host code.
    void AddPage(std::int32_t pageNumber, const BitmapFile& page);
    /// Announces the pages up to last that are due, within the first copy,
    /// to an asynchronous callback; called once the runner counts them. The
    /// callback runs without the lock, so that it may wait for host threads
    /// that call into the engine.
    void AnnouncePages(std::int32_t last);
    /// The run has ended (not by a stop): settles the copy detection on the
    /// pages produced and announces the pages of the first copy still due.
    void FinishRun();
    /// Destroys the engine at once (the base Release).
    bool Destroy();
    /// Reads Ghostscript's standard output, piece by piece as it comes, for
    /// the header line of the prolog (single_copy.ps): the run's tag, then
    /// "Copies=N;Collate=B;Orientation=O;". Only the first such line counts;
    /// any other text, the job's own "Copies=" included, changes nothing.
    void ScanJobHeader(const char* bytes, std::size_t count);
    /// Forgets the header values and makes a new tag for the next run; returns
    /// it. Called on the host's thread before a run starts.
    std::string BeginHeaderScan();
    /// The current run's tag ("%QuilletRun " and 128 random bits in hex): the
    /// line Ghostscript reads before the job, which the prolog repeats in its
    /// header. The job cannot learn it.
    std::string GetHeaderTag();
    /// The document Ghostscript reads by its path in the next or current run;
    /// empty when the job comes on its input.
    const std::wstring& GetDocumentFile() const { return documentFile; }
    /// When the current run began (its StartRIP was called): its time limit
    /// counts from there, the capture or an office document's layout
    /// included.
    std::chrono::steady_clock::time_point GetRunStart() const { return runStart; }
    /// Bytes the run holds on disk before Ghostscript starts (an office
    /// document's PDF), which count against its byte limit.
    std::uint64_t GetBytesBeforeRendering() const;
    /// That document is an EPS picture (one page), not a PDF.
    bool IsDocumentEps() const { return documentIsEps; }
    /// Looks at the first bytes of a job relayed to Ghostscript (monitor
    /// thread, before any page): a PDF job has no copies among its pages.
    void NoteJobStart(const char* bytes, std::size_t count);
    /// The job is a PDF (or EPS): a run that ends well without a page could
    /// not read it.
    bool ExpectsPages() const { return expectPages.load(); }

    // Output formats and page names.
    /// The folder the pages are written to, absolute and ending in a
    /// delimiter: the output folder, or when none is set the user's own
    /// default folder in the temporary folder. Not created here.
    std::wstring GetOutputDirectory() const;
    /// Creates folder, the output directory of a run or preview, private to
    /// the user when missing, and holds it open in held. False, with why,
    /// when anyone but the user (and the administrator) may change what is in
    /// it, or when the default folder is a link.
    bool PrepareOutputDirectory(const std::wstring& folder, Platform::HeldFolder& held, std::string& why) const;
    /// The page-file pattern of the current or last run (built on first use
    /// when there was none).
    std::wstring GetPagePattern();
    /// Builds the pattern of a new run: the output folder and format set now,
    /// and a prefix no file in the folder starts with.
    std::wstring NewPagePattern();
    /// The folder and the prefix of the current or last run's pattern.
    const std::wstring& GetPageDirectory() const { return pageDirectory; }
    const std::wstring& GetPagePrefix() const { return pagePrefix; }

    /// Fills args with Ghostscript's arguments for the current settings: one
    /// process rendering every page.
    void BuildGhostscriptArgs(std::vector<std::wstring>& args);
    /// The same; outputAt gets the index of the output entry ("-o" and the
    /// name, or the split/merge parameters), before which a process of a run
    /// gets the switches that select its pages (GetWorkerArgs).
    void BuildGhostscriptArgs(std::vector<std::wstring>& args, std::size_t& outputAt);

    /// True when each page carries its own orientation, from its shape (a
    /// document we read ourselves, rendered to an image format), rather than
    /// the job header's.
    bool PagesHaveOwnOrientation() const;
    /// Pages of one copy as detected so far (at least 1).
    std::int32_t GetPagesPerCopy();

    /// The runner, for the engine's own Parts and for tests.
    RIPEngineImpl& GetImpl() { return *impl; }
    /// The job description the engine holds.
    JobInfo& GetJobInfo() { return *jobInfo; }

protected:
    /// Stops the runner (joining its monitor), then releases the job
    /// description. Page files stay on disk.
    ~RIPEngine() override;

private:
    /// Takes the header's values from line if it is the prolog's (under headerLock).
    void ReadHeaderLine(const std::string& line);
    /// Marks the host's thread as inside a synchronous GetPages.
    struct SyncDelivery {
        explicit SyncDelivery(RIPEngine& engine);
        ~SyncDelivery();
        RIPEngine& engine;
    };
    /// What a capture came to.
    enum class CaptureResult {
        Refused,        ///< the document may not be printed; nothing was started
        Ready,          ///< the job can be read: a PostScript, PDF or EPS document, or keys applied
        Failed,         ///< printing failed, no keys in time, or they were rejected
        NeedsPrinting,  ///< not a document Ghostscript reads by itself: it is printed
    };
    /// A document that Ghostscript reads by its path, not through the print system.
    struct FileJob {
        std::wstring path;  ///< empty: the job is not one
        bool eps = false;
        /// An office document's PDF (path), removed when the object goes.
        std::unique_ptr<OfficeDocument> office;
    };
    /// PDF and EPS documents are read as they are; an office document is laid
    /// out as PDF by the office suite first (Failed, with the reason recorded,
    /// when that fails). Any other document NeedsPrinting.
    CaptureResult PrepareFileJob(FileJob& job, std::chrono::steady_clock::time_point startedAt);
    /// Makes job the one the next run renders; returns its job source, which
    /// carries what Ghostscript reads before the document (the PDF password),
    /// or Platform::kNullHandle with the reason recorded. Throws
    /// std::runtime_error "Unable to create data source pipe.".
    Platform::NativeHandle UseFileJob(FileJob job);
    /// The next run reads its job from the job description's data source.
    void UseStreamJob();
    /// Has the document printed to the virtual queue (replacing document) and
    /// waits at most 20 s for its job keys, which it applies to the job
    /// description and confirms to the print path; printing that fails ends
    /// the wait at once. Records why it did not come to Ready.
    CaptureResult CaptureJob();

    std::unique_ptr<RIPEngineImpl> impl;
    SharedPtr<JobInfo> jobInfo;
    /// The run's pages by their place in the run (1 is its first page, the
    /// range's start with a page range).
    std::map<std::int32_t, BitmapFile> pages;
    std::wstring pagePattern;
    std::wstring pageDirectory;
    std::wstring pagePrefix;
    std::int32_t pagesPerCopy;
    std::atomic<bool> jobCollate;
    std::atomic<std::int64_t> jobCopies;
    std::atomic<std::int32_t> jobOrientation;
    std::mutex headerLock;   // guards the scan's state below
    std::string headerTag;   // this run's tag, empty before the first
    TaggedLines headerLines;  // the tagged lines of the output being read
    bool headerSeen = false;  // the run's header has been read
    /// The printing thread of the current job's capture; its destructor
    /// restores the default queue and deletes the tagged copy.
    std::unique_ptr<Document> document;
    /// Whether repeated pages count as copies: only in jobs that may carry
    /// copies as pages (PostScript); a PDF job never does. Set before a run,
    /// or by NoteJobStart before its first page.
    std::atomic<bool> detectCopies{true};
    /// The job is a PDF or EPS, which has pages (see ExpectsPages).
    std::atomic<bool> expectPages{false};
    /// The document Ghostscript reads by its path in this run (a PDF or EPS
    /// document, or an office document's PDF); empty for a job on its input.
    std::wstring documentFile;
    bool documentIsEps = false;
    /// The read end of what Ghostscript reads on its input before the
    /// document; the job source of such a run.
    Platform::UniqueHandle documentPreamble;
    /// The PDF of the office document being rendered.
    std::unique_ptr<OfficeDocument> officeDocument;
    std::chrono::steady_clock::time_point runStart;
    IPageNotify* pageNotify;
    std::int32_t lastNotifiedPage;
    /// The thread inside a synchronous GetPages, and whether its callback
    /// released the engine.
    std::thread::id deliveryThread;
    bool releaseRequested = false;
};

}  // namespace Quillet
