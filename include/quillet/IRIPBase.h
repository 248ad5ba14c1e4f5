// IRIPBase, the service interface a host drives; RIPFormat; the factory CreateRIPService.
#pragma once

#include <quillet/BitmapFile.h>
#include <quillet/Export.h>
#include <quillet/NonCopyable.h>

#include <cstdint>
#include <string>

namespace Quillet {

/// Output formats: the Ghostscript device and page-file extension of each.
enum RIPFormat : std::int32_t {
    RIP_BMP32B = 0,     ///< 32-bit colour bitmap ("bmp")
    RIP_BMPGRAY = 1,    ///< greyscale bitmap ("bmp")
    RIP_PNG256 = 2,     ///< 8-bit palette PNG
    RIP_PNGALPHA = 3,   ///< PNG with alpha channel (the default)
    RIP_PNGGRAY = 4,    ///< greyscale PNG
    RIP_JPEG = 5,       ///< colour JPEG ("jpeg")
    RIP_JPEGGRAY = 6,   ///< greyscale JPEG ("jpeg")
    RIP_TIFF32NC = 7,   ///< 32-bit uncompressed TIFF ("tiff")
    RIP_TIFFG32D = 8,   ///< bilevel TIFF, G3 2-D compression ("tiff")
    RIP_PNG16M = 9,     ///< 24-bit colour PNG
    RIP_IJS = 10,       ///< one PCL file written through the IJS server ("pcl")
    RIP_PSWRITE = 11,   ///< one PostScript file ("ps")
    RIP_TIFFLZW = 12,   ///< 24-bit colour TIFF, LZW-compressed ("tiff")
    RIP_TIFFLZW_FILE = 13,  ///< one multi-page 24-bit colour TIFF of every page, LZW-compressed ("tiff")
};

/// The rendering service: one job description, its settings, its pages.
///
/// Created by CreateRIPService and destroyed by Release; a host never deletes it.
/// Every call is made on the host's thread; the settings take effect when a job
/// starts. Usage:
///
///     IRIPBase* rip = CreateRIPService(L"/docs/report.ps");
///     rip->SetOutputFolder(L"/tmp/pages");
///     rip->SetOutputFormat(RIP_PNG16M);
///     rip->SetResolution(150);
///     if (rip->StartRIP())
///         for (BitmapFile page; rip->GetPage(n, page); ++n) ...
///     if (rip->GetPageCount() < 0)   // GetRIPStatus(rip) says why
///         ...
///     rip->Release();
class QUILLET_API IRIPBase : private NonCopyable {
public:
    void SetOutputFolder(const std::wstring& folder);
    const std::wstring& GetOutputFolder() const;
    void SetOutputFormat(RIPFormat format);
    RIPFormat GetOutputFormat() const;
    /// Page size in device pixels; used when both are at least 1.
    void SetPageSize(std::int32_t width, std::int32_t height);
    std::int32_t GetPageWidth() const;
    std::int32_t GetPageHeight() const;
    /// Resolution in dots per inch; used when at least 1.
    void SetResolution(std::int32_t resolution);
    std::int32_t GetResolution() const;
    void SetUseCIEColor(bool flag);
    bool GetUseCIEColor() const;
    /// When on, the custom parameters replace the output switches.
    void SetIsSplitMerge(bool flag);
    bool GetIsSplitMerge() const;
    /// Manufacturer and model given to the IJS server (format RIP_IJS).
    void SetIJSModel(const std::wstring& manufacturer, const std::wstring& model);
    void SetIJSParams(const std::wstring& parameters);
    void SetCustomParams(const std::wstring& parameters);
    std::wstring GetCustomParams() const;
    /// When on, the system's fonts folder is given to the renderer.
    void SetUseTTFont(bool flag);
    bool GetUseTTFont() const;
    /// The document named by the service's parameter string.
    const std::wstring& GetInputDocument() const;
    /// Every run is bounded unless the host lifts a bound: one hostile
    /// document (an endless loop, endless pages, a memory grab, a page of
    /// square metres) must not take a service down. A run past a bound is
    /// ended at once and fails, GetRIPStatus naming the bound (and the pages
    /// done); no page of it is handed out after that, the pages handed out
    /// before stay its pages, and none it left unfinished stays on disk.
    /// Each setter takes 0 or less for "no bound"; each is read when a run
    /// starts. The defaults let every real document of the project's test
    /// corpus through.
    static constexpr std::int32_t kDefaultTimeLimit = 300;                 ///< seconds
    static constexpr std::int64_t kDefaultMaxOutputBytes = 4LL << 30;      ///< 4 GiB
    static constexpr std::int64_t kDefaultMaxMemoryBytes = 2LL << 30;      ///< 2 GiB a process
    static constexpr std::int32_t kDefaultMaxPages = 10000;
    static constexpr std::int64_t kDefaultMaxPagePixels = 100000000;       ///< 100 million

    /// Seconds from the start of a run (StartRIP, an office document's
    /// layout included) to its last page.
    void SetTimeLimit(std::int32_t seconds);
    std::int32_t GetTimeLimit() const;
    /// Bytes a run's processes may write: its page files, its temporary
    /// files and the office process's files of the document, files they
    /// removed but still hold open included.
    void SetMaxOutputBytes(std::int64_t bytes);
    std::int64_t GetMaxOutputBytes() const;
    /// Memory each process of a run (a renderer, the office process while it
    /// lays out the document) may fill, in bytes: an allocation past it
    /// fails, and the run fails naming the bound.
    void SetMaxMemoryBytes(std::int64_t bytes);
    std::int64_t GetMaxMemoryBytes() const;
    /// Pages a run may render (of one copy, within the page range): a job of
    /// more fails once its next page begins, a PDF of more when it is opened.
    void SetMaxPages(std::int32_t pages);
    std::int32_t GetMaxPages() const;
    /// Pixels (width times height at the run's resolution) a page may have;
    /// a larger page fails the run before it is rendered. A page size or
    /// resolution the host set is checked at the start (without a page size,
    /// an A4 or Letter page at the resolution); PostScript output
    /// (RIP_PSWRITE) has no pixels to bound.
    void SetMaxPagePixels(std::int64_t pixels);
    std::int64_t GetMaxPagePixels() const;
    /// Renders only pages first to last of the document (last 0: to its
    /// end); (0, 0), the default, renders every page. Any other pair needs
    /// first 1 or more and last 0 or at least first, or the run fails at its
    /// start. A PDF's other pages are not read at all, a PostScript job's are
    /// read but not rendered, and a run ends once the range's last page is
    /// out. Pages keep the document's numbers: GetPage(n) and OnPageReady
    /// give document page n, from first on (GetPage of a page before first
    /// fails at once), and GetPageCount counts the pages rendered. A range
    /// that ends past the document's end renders the pages there are; one
    /// that begins past it fails the run ("the document has no page 30: it
    /// has 20 pages"). Equal pages of a range are never taken for copies.
    /// Read when a run starts; StartPreview ignores it.
    /// SetPageRange also clears a page list.
    void SetPageRange(std::int32_t first, std::int32_t last);
    std::int32_t GetFirstPage() const;
    std::int32_t GetLastPage() const;
    /// Renders only the pages a list names, "1,3,5-9" ("12-": page 12 to the
    /// end), in page order whatever the list's order, each once however often
    /// it is named; an empty text clears the list. While a list is set it
    /// takes the range's place (SetPageRange clears it; "5-9" renders as the
    /// range 5 to 9 does). A list that is none (an empty item, page 0 or a
    /// negative one, a range that ends before it starts, other characters
    /// than digits, commas, dashes and blanks) or that is longer than 1000
    /// characters once sorted and merged fails the run at its start, naming
    /// why. Pages keep the document's numbers: GetPage(n) and OnPageReady
    /// give document page n for each page listed (GetPage of a page not
    /// listed fails at once), and GetPageCount counts the pages rendered.
    /// Listed pages past the document's end are left out; a list whose first
    /// page is past it fails the run ("the document has no page 30"). Read
    /// when a run starts; StartPreview ignores it.
    void SetPageList(const std::wstring& pages);
    const std::wstring& GetPageList() const;

    /// Anti-aliasing of text and graphics (4 bits of each, as screen viewers
    /// draw pages). Off by default: text is drawn with 1 bit and graphics with
    /// 2, so that a page has few colours. PostScript output has none. Read
    /// when a run starts.
    void SetAntiAliasing(bool flag);
    bool GetAntiAliasing() const;
    /// Quality of JPEG pages, 1 to 100; 0, the default, leaves Ghostscript's
    /// own (75). Other formats ignore it. Read when a run starts.
    void SetJpegQuality(std::int32_t quality);
    std::int32_t GetJpegQuality() const;

    /// Waits until page pageNumber of the first copy is ready and copies its
    /// record into page. False for a page that will not come. Pages are
    /// handed out in page order, whichever of the run's Ghostscript
    /// processes rendered them.
    virtual bool GetPage(std::int32_t pageNumber, BitmapFile& page) = 0;
    /// Delivers every page to notify: on this thread, or, when asynchronous and a
    /// job is rendering, on the library's monitor thread as pages arrive (the
    /// callback must then not wait for later pages).
    virtual bool GetPages(IPageNotify* notify, bool asynchronous) = 0;
    /// Waits until rendering ends and appends the path of output file 1 to
    /// path; true when that file exists.
    virtual bool GetOutputFile(std::wstring& path) = 0;
    /// Captures the job and hands it to the preview application. Reports
    /// nothing (GetRIPStatus tells why a capture failed); throws only
    /// std::bad_alloc.
    virtual void StartPreview() = 0;
    /// Ends a run: no page is handed out or announced after it, and the run
    /// has no pages. Ghostscript gets about a second to end by itself, then
    /// it is killed; waits at most 10 s. From inside OnPageReady, and from
    /// another thread while an asynchronous OnPageReady runs (which may be
    /// waiting for that thread), it kills Ghostscript and returns at once;
    /// the run ends after the callback.
    virtual void Stop() = 0;
    /// The same as Stop.
    virtual void Cancel() = 0;
    /// Pages of one copy after a good run; 0 before the first run and after a
    /// stop; -1 while rendering and after a failed run (GetRIPStatus says why).
    virtual std::int32_t GetPageCount() = 0;
    /// Captures the job and starts rendering it; returns at once. False when
    /// the job could not be captured; an earlier run then goes on. A job that
    /// is captured but cannot be read (a missing ".ps" file, a print-job file
    /// that cannot be opened), and an output folder that cannot be made or
    /// watched, give true and a failed run. GetRIPStatus tells why either
    /// failed. Each run names its pages with a prefix of its own, so that no
    /// file of an earlier run is ever taken for one of its pages.
    ///
    /// Throws only when the system refuses what a run needs, and then no run
    /// is started: std::runtime_error "Unable to create data source pipe.",
    /// "Unable to create Pipe." or "Unable to Launch Ghostscript Process
    /// thread."; "Cannot start. RIP in progress" when called from a page
    /// callback, or while one runs, as long as its run goes on;
    /// std::bad_alloc.
    virtual bool StartRIP() = 0;
    /// Destroys the service, stopping a run in progress. False when its
    /// destruction failed; the pointer is gone either way. May be called from
    /// inside OnPageReady (on either delivery), and from another thread while
    /// an asynchronous OnPageReady runs: no page is announced after it, it
    /// returns at once, and the service is destroyed once the callback has
    /// returned.
    virtual bool Release();
    /// Deletes every page file and empties the page table. A run still in
    /// progress is ended first, as Stop ends it: afterwards GetPageCount is 0
    /// (or -1 for a failed run) and no page is handed out or announced. From
    /// inside OnPageReady, or from another thread while an asynchronous one
    /// runs, it returns at once, the run ends once the callback has returned,
    /// and the record the callback was given is gone. The job's header values
    /// (copies, collation, orientation) stay.
    virtual bool DeletePages() = 0;
    /// Copies in the output, or -1 while not known.
    virtual std::int32_t GetNumCopies() = 0;
    virtual bool GetIsCollated() = 0;
    /// The orientation code (1 to 4) of the last run's pages as the job's
    /// header gave it; 0 until a run's header has been read.
    virtual std::int32_t GetOrientation() = 0;
    /// Stores an intent string that travels with the job to the preview.
    virtual void SetIntent(const std::wstring& intent) = 0;

protected:
    explicit IRIPBase(const std::wstring& inputDocument);
    /// Only Release destroys a service. Declared potentially throwing so that
    /// Release can report a failed destruction as false instead of ending the
    /// process.
    virtual ~IRIPBase() noexcept(false);

    std::wstring ijsManufacturer;
    std::wstring ijsModel;
    std::wstring ijsParams;
    std::wstring inputDocument;
    std::wstring outputFolder;
    RIPFormat outputFormat;
    std::int32_t resolution;
    std::int32_t pageWidth;
    std::int32_t pageHeight;
    bool useCIEColor;
    bool splitMerge;
    std::wstring customParams;
    bool useTTFont;
    std::int32_t timeLimit;
    std::int64_t maxOutputBytes;
    std::int64_t maxMemoryBytes;
    std::int32_t maxPages;
    std::int64_t maxPagePixels;
    std::int32_t firstPage;
    std::int32_t lastPage;
    std::wstring pageList;
    bool antiAliasing;
    std::int32_t jpegQuality;
};

/// Creates a service for the job that params describes: a document path, or
/// key/value pairs such as `docname="/docs/a.doc" printjobfile=/spool/j.ps`.
/// Returns null on any failure.
QUILLET_API IRIPBase* CreateRIPService(const std::wstring& params);

}  // namespace Quillet
