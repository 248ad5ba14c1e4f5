// quillet-rip: renders documents into page images from the command line,
// through the public interface of libquillet.
//
//   quillet-rip [options] DOCUMENT...
//
// Each document gets a service of its own; the documents are shared among
// worker threads (one per processor), so that office documents find the
// library's office process warm and Ghostscript runs on every core. A
// document's pages are written into a private folder beside their final
// place and renamed into place once the document's run is over, when their
// number (and so the width of the page numbers) is known; a rerun replaces
// them and removes the pages of earlier runs under the same names. Each
// document's report is printed as one block, in the order of the command
// line: its pages ("page N: PATH (orientation O)") and a summary, or one JSON
// object a line. A failure prints one line naming its cause, then
// Ghostscript's report when there is one, with control characters replaced
// (the report holds the job's own text). Ctrl-C and SIGTERM stop every run:
// the pages handed out so far are kept under their names, nothing else.
// In a folder given with -o, a document whose run ended well gets a hidden
// record of its pages, written after the last of them is in place; a rerun
// with the same options skips the document while the record, the document
// and every page it lists are unchanged.
#include "Content.h"
#include "Naming.h"
#include "Options.h"
#include "System.h"
#include "Text.h"

#include <quillet/quillet.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace Rip;

namespace {

/// A document as the run knows it.
struct Input {
    std::string given;    // as the command line or the list named it
    int position = 0;     // in the call's whole list, from 1 ({index})
    std::string naming;   // the name its pages are named after
    std::string path;     // absolute; what the service is given
    bool printJob = false;  // PostScript: the document is its own print job
    bool wholeName = false;  // its stem is another document's too: named with its extension
    std::string refusal;  // why it is not rendered at all
    int refusalCode = 0;
};

struct PageOut {
    long number = 0;
    std::string path;
    int orientation = 1;
    long width = -1, height = -1;
};

/// What one document's run came to.
struct Result {
    std::vector<PageOut> pages;
    std::string outputFile;  // single-file formats
    long pageCount = 0;
    int copies = -1;
    bool collated = false;
    int code = 0;
    std::string stage;  // of a failure
    std::string reason;
    std::string report;
    bool interrupted = false;
    bool skipped = false;  // complete from an earlier run
    bool done = false;
};

// A document's record of complete pages: the key of what made them, then
// the run's counts, then one line per file (size, time of last change, name
// in the record's folder), names last since they may hold blanks.
constexpr const char* kRecordHeader = "quillet-rip complete pages 1";

/// 64-bit FNV-1a: the record's key, stable from build to build.
std::string Fingerprint(const std::string& text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ULL;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

/// Size and time of last change of a file, as the record holds them; empty
/// when it is not a regular file.
std::string FileStamp(const fs::path& path)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::is_regular_file(status))
        return std::string();
    const std::uintmax_t size = fs::file_size(path, error);
    const auto changed = fs::last_write_time(path, error);
    if (error)
        return std::string();
    return std::to_string(size) + " " + std::to_string(changed.time_since_epoch().count());
}

// The run's state shared with the interrupt thread.
std::atomic<int> interruptStatus{0};
std::mutex runningLock;
std::set<Quillet::IRIPBase*> running;  // services whose run may be stopped

void Interrupt(int status)
{
    int none = 0;
    interruptStatus.compare_exchange_strong(none, status);
    std::lock_guard<std::mutex> guard(runningLock);
    for (Quillet::IRIPBase* rip : running)
        rip->Stop();
}

bool Interrupted()
{
    return interruptStatus.load() != 0;
}

/// A new folder that only this user may enter, under parent; empty on failure.
fs::path MakePrivateFolder(const fs::path& parent, const std::string& prefix, std::error_code& error)
{
    std::random_device random;
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int k = 0; k < 8; ++k)
            name += kLetters[random() % 36];
        const fs::path folder = parent / name;
        if (fs::create_directory(folder, error)) {
            fs::permissions(folder, fs::perms::owner_all, error);
            return folder;
        }
        if (error)
            return fs::path();
    }
    error = std::make_error_code(std::errc::file_exists);
    return fs::path();
}

/// The first 64 KiB of a file.
std::string Head(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string head(65536, '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return head;
}

/// The service parameter string that names document and nothing else: its
/// path as the value of "docname" (and of "printjobfile" for PostScript,
/// which is its own print job), so that no part of the name is read as a key.
/// The grammar has no escapes: a value with a blank must be quoted, a quoted
/// value cannot hold a quote. False for a name that needs both.
bool DocumentParams(const std::wstring& document, bool printJob, std::wstring& params)
{
    const bool blank = document.find_first_of(L" \t") != std::wstring::npos;
    const bool quote = document.find(L'"') != std::wstring::npos;
    if (document.empty() || (blank && quote) || (quote && (document[0] == L'"' || document[0] == L'-')))
        return false;
    const std::wstring value = quote ? document : L"\"" + document + L"\"";
    params = L"docname=" + value;
    if (printJob)
        params += L" printjobfile=" + value;
    return true;
}

std::wstring Wide(const std::string& text)
{
    std::wstring wide;
    DecodeUtf8(text, wide);
    return wide;
}

/// A name with bytes that are not UTF-8, which the service cannot be given.
bool IsUtf8(const std::string& text)
{
    std::wstring ignored;
    return DecodeUtf8(text, ignored);
}

/// Everything the documents share: the settings and the folders of the run.
class Batch {
public:
    Batch(const Options& options) : options(options) {}

    ~Batch()
    {
        std::error_code ignored;
        if (!workFolder.empty())
            fs::remove_all(workFolder, ignored);
    }

    int Run();

private:
    void CollectInputs();
    void AddName(const std::string& name, bool listed);
    void Prepare(Input& input);
    bool LinkAs(Input& input, const std::string& extension);
    void Render(std::size_t index);
    void RenderInto(Quillet::IRIPBase& rip, const PageNames& names, const fs::path& staging, Result& result);
    using PageRanges = std::vector<std::pair<long, long>>;
    bool RunPages(Quillet::IRIPBase& rip, const PageRanges& ranges, const fs::path& staging,
                  std::map<long, PageOut>& kept, Result& result);
    long FitResolution(Quillet::IRIPBase& rip, long first, const fs::path& staging, Result& result);
    void Fail(Quillet::IRIPBase& rip, Result& result);
    void Progress(std::size_t index, long page, long of);
    void PrintFinished();
    void Print(std::size_t index);
    std::string RecordKey(const Input& input) const;
    bool ReadRecord(const fs::path& record, const std::string& key, Result& result) const;
    void WriteRecord(const fs::path& record, const std::string& key, const Result& result) const;

    const Options& options;
    std::vector<Input> inputs;
    bool severalDocuments = false;
    bool stdinTaken = false;
    bool defaultFolder = false;
    fs::path outputFolder;
    fs::path workFolder;  // documents from standard input, names the service cannot take
    std::string password;
    bool progress = false;

    std::mutex lock;  // results, printing
    std::vector<Result> results;
    std::size_t nextToPrint = 0;
    std::atomic<std::size_t> nextToRender{0};
    std::atomic<long> pagesHandedOut{0};
};

void Batch::AddName(const std::string& name, bool listed)
{
    std::error_code error;
    if (name == "-") {
        if (stdinTaken)
            UsageError("standard input can give one thing only: the document list or one document");
        stdinTaken = true;
    } else if (!listed && fs::is_directory(name, error)) {
        // A folder's files, in name order; its folders and hidden files are
        // not documents.
        std::vector<std::string> files;
        for (fs::directory_iterator it(name, error), end; !error && it != end; it.increment(error))
            if (it->path().filename().string()[0] != '.' && it->is_regular_file(error))
                files.push_back(it->path().string());
        if (error)
            UsageError("cannot read the folder " + name + ": " + error.message());
        std::sort(files.begin(), files.end());
        for (const std::string& file : files)
            AddName(file, true);
        severalDocuments = true;
        return;
    }
    Input input;
    input.given = name;
    input.naming = name == "-" ? "stdin" : name;
    inputs.push_back(input);
}

void Batch::CollectInputs()
{
    if (!options.fromList.empty()) {
        if (options.fromList == "-")
            stdinTaken = true;
        std::ifstream file;
        if (options.fromList != "-") {
            file.open(options.fromList);
            if (!file)
                UsageError("cannot read the list " + options.fromList);
        }
        std::istream& in = options.fromList == "-" ? std::cin : file;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                AddName(line, true);
        }
        severalDocuments = true;
    }
    for (const std::string& name : options.names)
        AddName(name, false);
    severalDocuments = severalDocuments || inputs.size() > 1;
    if (inputs.empty())
        UsageError("the list names no document");
    // Two documents must not write the same pages: by default, documents
    // that share a stem ("report.pdf", "report.docx") are named with their
    // extension; a pattern of the user's that cannot tell them apart is refused.
    const std::string pattern = !options.namePattern.empty()        ? options.namePattern
                                : IsSingleFileFormat(options.format) ? PageNames::kSingleFile
                                : severalDocuments                   ? PageNames::kSeveralDocuments
                                                                     : PageNames::kOneDocument;
    auto target = [&](std::size_t k) {
        return PageNames("", pattern, inputs[k].naming, static_cast<int>(k + 1), inputs[k].wholeName)
            .PathOf(1, 1, "x");
    };
    std::map<fs::path, std::size_t> targets;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        const auto [at, added] = targets.emplace(target(k), k);
        if (!added && options.namePattern.empty())
            inputs[k].wholeName = inputs[at->second].wholeName = true;
    }
    targets.clear();
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        const auto [at, added] = targets.emplace(target(k), k);
        if (!added)
            UsageError("'" + inputs[at->second].given + "' and '" + inputs[k].given +
                       "' would write the same pages; tell them apart with --name (e.g. {name} or {index})");
    }
    // A share keeps the whole list's positions and layout, so that the calls
    // of one list name their pages as one call would.
    std::vector<Input> kept;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        inputs[k].position = static_cast<int>(k + 1);
        if (options.shards == 0 || static_cast<long>(k) % options.shards == options.shard - 1)
            kept.push_back(inputs[k]);
    }
    inputs = kept;
}

/// Gives the service a name it can take for input: a link (or copy) of the
/// document in the run's work folder, named for its content.
bool Batch::LinkAs(Input& input, const std::string& extension)
{
    std::error_code error;
    if (workFolder.empty())
        workFolder = MakePrivateFolder(fs::temp_directory_path(error), "quillet-rip-", error);
    if (workFolder.empty()) {
        input.refusal = "cannot make a temporary folder: " + error.message();
        input.refusalCode = kExitOutput;
        return false;
    }
    const fs::path folder = workFolder / std::to_string(&input - inputs.data());
    fs::create_directory(folder, error);
    const fs::path link = folder / ("document" + (extension.empty() ? std::string() : "." + extension));
    fs::create_hard_link(input.path, link, error);
    if (error && !fs::copy_file(input.path, link, error)) {
        input.refusal = "cannot copy the document into a temporary folder: " + error.message();
        input.refusalCode = kExitOutput;
        return false;
    }
    input.path = link.string();
    return true;
}

/// Decides how the service is to read input: by its content, whatever its name says.
void Batch::Prepare(Input& input)
{
    std::error_code error;
    std::string head;
    std::string extension = fs::path(input.given).extension().string();
    if (!extension.empty())
        extension.erase(0, 1);
    if (input.given == "-") {
        // Kept in the work folder for the run: Ghostscript and the office
        // suite read a document more than once.
        if (workFolder.empty())
            workFolder = MakePrivateFolder(fs::temp_directory_path(error), "quillet-rip-", error);
        const fs::path copy = workFolder / "stdin";
        std::ofstream out(copy, std::ios::binary);
        out << std::cin.rdbuf();
        out.close();
        if (workFolder.empty() || !out) {
            input.refusal = "cannot keep standard input in a temporary folder";
            input.refusalCode = kExitOutput;
            return;
        }
        input.path = copy.string();
        head = Head(copy);
        extension.clear();
    } else {
        if (!fs::is_regular_file(input.given, error)) {
            input.refusal = "cannot read the document " + input.given + ": " +
                            (fs::exists(input.given, error) ? "not a regular file" : "no such file");
            input.refusalCode = kExitCaptureFailed;
            return;
        }
        // The library is given absolute paths: its runs don't depend on the
        // working folder.
        input.path = fs::absolute(input.given, error).string();
        head = Head(input.path);
    }
    const std::string byContent = ExtensionByContent(head);
    std::string lower = extension;
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    input.printJob = byContent == "ps" || (byContent.empty() && lower == "ps");
    const bool printerLanguage = byContent == "pdf" || byContent == "ps" || byContent == "eps";
    if (!byContent.empty() && byContent != lower && (printerLanguage || !IsOfficeExtension(lower))) {
        // Named for another kind, or for none: the content decides.
        LinkAs(input, byContent);
        return;
    }
    // PostScript needs no header; a PDF that has none cannot be read.
    if (byContent.empty() && lower == "pdf") {
        input.refusal = "the document " + input.given + " is named as a PDF but its content is none";
        input.refusalCode = kExitCaptureFailed;
        return;
    }
    std::wstring params;
    if (!IsUtf8(input.path) || !DocumentParams(Wide(input.path), input.printJob, params))
        LinkAs(input, lower);  // a name the service's grammar cannot carry
}

void Batch::Progress(std::size_t index, long page, long of)
{
    if (!progress)
        return;
    std::string line = severalDocuments ? "document " + std::to_string(index + 1) + " of " +
                                              std::to_string(inputs.size()) + ", "
                                        : std::string();
    line += "page " + std::to_string(page) + (of > 0 ? " of " + std::to_string(of) : std::string());
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
}

/// Records why the service's start or run failed.
void Batch::Fail(Quillet::IRIPBase& rip, Result& result)
{
    Quillet::RIPFailure failure;
    Quillet::IRIPStatus* status = Quillet::GetRIPStatus(&rip);
    if (status == nullptr || !status->GetLastFailure(failure)) {
        result.code = kExitRenderFailed;
        result.stage = "failed";
        result.reason = "rendering failed";
        return;
    }
    static const char* const kStages[] = {"failed", "capture failed", "start failed", "rendering failed",
                                          "stop failed"};
    const int stage = failure.stage >= 0 && failure.stage <= 4 ? failure.stage : 0;
    result.stage = kStages[stage];
    result.reason = EncodeUtf8(failure.reason);
    result.report = EncodeUtf8(failure.report);
    result.code = failure.stage == Quillet::RIP_STAGE_CAPTURE ? kExitCaptureFailed : kExitRenderFailed;
    // Ghostscript's words for a password that is missing ("requires a
    // password") or wrong ("Password did not work").
    if (result.reason.find("assword") != std::string::npos)
        result.code = kExitPassword;
}

/// One run of the service over the pages of ranges (sorted and apart; (0, 0):
/// every page; a second of 0: to the end); its pages move into staging as
/// "keep-N.EXT", out of the way of the service's next run.
bool Batch::RunPages(Quillet::IRIPBase& rip, const PageRanges& ranges, const fs::path& staging,
                     std::map<long, PageOut>& kept, Result& result)
{
    if (ranges.size() == 1) {
        rip.SetPageRange(static_cast<std::int32_t>(ranges[0].first), static_cast<std::int32_t>(ranges[0].second));
    } else {
        std::string list;
        for (const auto& range : ranges)
            list += (list.empty() ? "" : ",") + std::to_string(range.first) + "-" +
                    (range.second != 0 ? std::to_string(range.second) : std::string());
        rip.SetPageList(Wide(list));
    }
    if (Interrupted())
        return false;
    try {
        if (!rip.StartRIP()) {
            Fail(rip, result);
            return false;
        }
    } catch (const std::exception& e) {
        result.code = kExitRenderFailed;
        result.stage = "failed";
        result.reason = e.what();
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(runningLock);
        running.insert(&rip);
    }
    if (Interrupted())
        rip.Stop();
    const std::size_t index = static_cast<std::size_t>(&result - results.data());
    long known = 0;
    for (const auto& range : options.pages)
        known = range.second == 0 || known < 0 ? -1 : known + range.second - range.first + 1;
    std::vector<PageOut> pages;
    if (options.callback) {
        struct Collector : Quillet::IPageNotify {
            std::mutex lock;
            std::vector<PageOut> pages;
            std::function<void(long)> onPage;
            void OnPageReady(std::int32_t number, Quillet::BitmapFile& page) override
            {
                PageOut out;
                out.number = number;
                out.path = EncodeUtf8(page.GetFilePath());
                out.orientation = page.Orientation();
                std::lock_guard<std::mutex> guard(lock);
                pages.push_back(out);
                onPage(static_cast<long>(pages.size()));
            }
        } collector;
        collector.onPage = [&](long count) { Progress(index, static_cast<long>(kept.size()) + count, known); };
        // The callback reports; GetOutputFile below waits for the end.
        rip.GetPages(&collector, true);
        std::wstring ignored;
        rip.GetOutputFile(ignored);
        std::lock_guard<std::mutex> guard(collector.lock);
        pages = collector.pages;
    } else if (!IsSingleFileFormat(options.format)) {
        // The pages come in the list's order, until one that will not come.
        Quillet::BitmapFile page;
        bool more = true;
        for (auto range = ranges.begin(); more && range != ranges.end(); ++range)
            for (long n = std::max(1L, range->first); (range->second == 0 || n <= range->second) &&
                                                      (more = rip.GetPage(static_cast<std::int32_t>(n), page));
                 ++n) {
                PageOut out;
                out.number = n;
                out.path = EncodeUtf8(page.GetFilePath());
                out.orientation = page.Orientation();
                pages.push_back(out);
                Progress(index, static_cast<long>(kept.size() + pages.size()), known);
            }
    }
    // Waits for the end of the run, which may still be stopped meanwhile.
    std::wstring outputFile;
    rip.GetOutputFile(outputFile);
    result.outputFile = EncodeUtf8(outputFile);
    {
        std::lock_guard<std::mutex> guard(runningLock);
        running.erase(&rip);
    }
    const std::int32_t count = rip.GetPageCount();
    if (result.copies < 0) {
        result.copies = rip.GetNumCopies();
        result.collated = rip.GetIsCollated();
    }
    // A failed or interrupted run keeps the pages it handed out.
    if (count < 0 && !Interrupted())
        Fail(rip, result);
    for (PageOut& page : pages) {
        const fs::path keep = staging / ("keep-" + std::to_string(page.number) + fs::path(page.path).extension().string());
        std::error_code error;
        fs::rename(page.path, keep, error);
        if (error) {
            result.code = kExitOutput;
            result.stage = "failed";
            result.reason = "cannot move page " + std::to_string(page.number) + " within " + staging.string() + ": " +
                            error.message();
            return false;
        }
        page.path = keep.string();
        kept[page.number] = page;
        ++pagesHandedOut;
    }
    return count >= 0 && !Interrupted();
}

/// The resolution at which the page first fits the --fit box: the page is
/// measured at 72 dpi first, where a pixel is a point.
long Batch::FitResolution(Quillet::IRIPBase& rip, long first, const fs::path& staging, Result& result)
{
    std::map<long, PageOut> probe;
    rip.SetResolution(72);
    if (!RunPages(rip, {{first, first}}, staging, probe, result) || probe.empty()) {
        if (result.code == 0 && !Interrupted()) {
            result.code = kExitRenderFailed;
            result.stage = "failed";
            result.reason = "the document has no page " + std::to_string(first);
        }
        return 0;
    }
    long width = 0, height = 0;
    const std::string path = probe.begin()->second.path;
    const bool measured = ImageSize(path, width, height);
    std::error_code ignored;
    fs::remove(path, ignored);
    pagesHandedOut -= 1;
    if (!measured || width <= 0 || height <= 0)
        return 72;
    const double scale = std::min(static_cast<double>(options.fitWidth) / width,
                                  static_cast<double>(options.fitHeight) / height);
    return std::max(1L, static_cast<long>(scale * 72));
}

void Batch::RenderInto(Quillet::IRIPBase& rip, const PageNames& names, const fs::path& staging, Result& result)
{
    rip.SetOutputFolder(Wide(staging.string()));
    rip.SetOutputFormat(options.format);
    rip.SetResolution(static_cast<std::int32_t>(options.resolution));
    if (options.pageWidth > 0)
        rip.SetPageSize(static_cast<std::int32_t>(options.pageWidth), static_cast<std::int32_t>(options.pageHeight));
    rip.SetAntiAliasing(options.antiAliasing);
    rip.SetJpegQuality(static_cast<std::int32_t>(options.jpegQuality));
    rip.SetUseCIEColor(options.cie);
    rip.SetUseTTFont(options.ttFont);
    if (options.splitMerge) {
        rip.SetIsSplitMerge(true);
        rip.SetCustomParams(Wide(options.customParams));
    }
    if (options.ijsModelGiven)
        rip.SetIJSModel(Wide(options.ijsManufacturer), Wide(options.ijsModel));
    if (options.ijsParamsGiven)
        rip.SetIJSParams(Wide(options.ijsParams));
    rip.SetTimeLimit(static_cast<std::int32_t>(options.timeLimit));
    rip.SetMaxOutputBytes(static_cast<std::int64_t>(options.maxOutputMb) << 20);
    rip.SetMaxMemoryBytes(static_cast<std::int64_t>(options.maxMemoryMb) << 20);
    rip.SetMaxPages(static_cast<std::int32_t>(options.maxPages));
    rip.SetMaxPagePixels(static_cast<std::int64_t>(options.maxPagePixels));

    PageRanges ranges = options.pages;
    const bool singleFile = IsSingleFileFormat(options.format);
    if (ranges.empty())
        // Standard output takes one page: a second one is enough to refuse.
        ranges.emplace_back(options.toStandardOutput && !singleFile ? 1 : 0, options.toStandardOutput && !singleFile ? 2 : 0);
    long fitDpi = 0;
    if (options.fitWidth > 0) {
        fitDpi = FitResolution(rip, std::max(1L, ranges.front().first), staging, result);
        if (fitDpi == 0)
            return;
        rip.SetResolution(static_cast<std::int32_t>(fitDpi));
        result.copies = -1;
    }
    // Every page of the list in one run.
    std::map<long, PageOut> kept;
    const bool good = RunPages(rip, ranges, staging, kept, result);
    // A page of another size than the first is rendered again, alone, at the
    // resolution at which it fits the box.
    for (const auto& entry : good && fitDpi > 0 ? kept : std::map<long, PageOut>()) {
        long width = 0, height = 0;
        if (!ImageSize(entry.second.path, width, height) || width <= 0 || height <= 0)
            continue;
        const long dpi = static_cast<long>(fitDpi * std::min(static_cast<double>(options.fitWidth) / width,
                                                             static_cast<double>(options.fitHeight) / height));
        if (dpi < 1 || (width <= options.fitWidth && height <= options.fitHeight && dpi <= fitDpi))
            continue;
        rip.SetResolution(static_cast<std::int32_t>(dpi));
        if (!RunPages(rip, {{entry.first, entry.first}}, staging, kept, result))
            break;
        --pagesHandedOut;  // it replaced itself
    }
    if (Interrupted())
        result.interrupted = true;
    long count = 0;
    if (result.code == 0 && !result.interrupted)
        count = rip.GetPageCount();

    if (options.splitMerge)
        return;  // the output went where the parameters said
    std::string extension = fs::path(result.outputFile).extension().string();
    if (!extension.empty())
        extension.erase(0, 1);
    std::set<fs::path> written;
    if (singleFile) {
        result.pageCount = count;
        std::error_code error;
        if (result.code != 0 || result.interrupted)
            return;
        if (!fs::exists(result.outputFile, error)) {
            result.code = kExitRenderFailed;
            result.stage = "failed";
            result.reason = "rendering wrote no output file";
            return;
        }
        const fs::path target = names.PathOf(0, 0, extension);
        fs::create_directories(target.parent_path(), error);
        fs::rename(result.outputFile, target, error);
        if (error) {
            result.code = kExitOutput;
            result.stage = "failed";
            result.reason = "cannot write " + target.string() + ": " + error.message();
            return;
        }
        result.outputFile = target.string();
        return;
    }
    result.outputFile.clear();
    // The page numbers are as wide as the last one's.
    const int width = kept.empty() ? 1 : static_cast<int>(std::to_string(kept.rbegin()->first).size());
    for (auto& entry : kept) {
        PageOut page = entry.second;
        const fs::path target = names.PathOf(page.number, width, extension);
        std::error_code error;
        fs::create_directories(target.parent_path(), error);
        fs::rename(page.path, target, error);
        if (error) {
            result.code = kExitOutput;
            result.stage = "failed";
            result.reason = "cannot write " + target.string() + ": " + error.message();
            break;
        }
        page.path = target.string();
        ImageSize(page.path, page.width, page.height);
        written.insert(target);
        result.pages.push_back(page);
    }
    if (!options.toStandardOutput)
        names.RemoveOthers(extension, written);
    result.pageCount = result.code == 0 && !result.interrupted ? static_cast<long>(kept.size()) : -1;
}

void Batch::Render(std::size_t index)
{
    const Input& input = inputs[index];
    Result& result = results[index];
    const std::string pattern = !options.namePattern.empty()        ? options.namePattern
                                : IsSingleFileFormat(options.format) ? PageNames::kSingleFile
                                : severalDocuments                   ? PageNames::kSeveralDocuments
                                                                     : PageNames::kOneDocument;
    const PageNames names(outputFolder, pattern, input.naming, input.position, input.wholeName);
    // The record's name is the pattern's with no page number, hidden.
    const fs::path unnumbered = names.PathOf(0, 0, "quillet-rip");
    std::string recordName = "." + unnumbered.filename().string();
    if (fs::path(recordName).extension() != ".quillet-rip")
        recordName += ".quillet-rip";
    const fs::path record = unnumbered.parent_path() / recordName;
    const bool recorded = !defaultFolder && !options.toStandardOutput && !options.splitMerge && input.given != "-";
    const std::string key = recorded && input.refusal.empty() ? RecordKey(input) : std::string();
    if (!key.empty() && !options.redo && options.shards > 0 && ReadRecord(record, key, result)) {
        result.skipped = true;
    } else if (!input.refusal.empty()) {
        result.code = input.refusalCode;
        result.stage = "failed";
        result.reason = input.refusal;
    } else if (Interrupted()) {
        result.interrupted = true;
    } else {
        // The private folder the service writes into sits beside the pages'
        // place, so that each page is renamed into it, never copied.
        const fs::path place = names.PathOf(1, 1, "x").parent_path();
        std::error_code error;
        fs::create_directories(place, error);
        const fs::path staging = error ? fs::path() : MakePrivateFolder(place, ".quillet-rip-", error);
        // The pages change from here on: the record of the earlier ones goes first.
        if (recorded)
            fs::remove(record, error);
        std::wstring params;
        DocumentParams(Wide(input.path), input.printJob, params);
        if (!password.empty())
            params += L" password=\"" + Wide(password) + L"\"";
        Quillet::IRIPBase* rip = staging.empty() ? nullptr : Quillet::CreateRIPService(params);
        if (staging.empty()) {
            result.code = kExitOutput;
            result.stage = "failed";
            result.reason = "cannot write to the output folder " + place.string() + ": " + error.message();
        } else if (rip == nullptr) {
            result.code = kExitRenderFailed;
            result.stage = "failed";
            result.reason = "cannot create the service";
        } else {
            try {
                RenderInto(*rip, names, staging, result);
            } catch (const std::exception& e) {
                result.code = kExitRenderFailed;
                result.stage = "failed";
                result.reason = e.what();
            }
            // Release stops a run that is still going and waits for it.
            rip->Release();
            // Ctrl-C reaches the renderers and the office process of the
            // terminal's process group too: what failed then was stopped.
            if (Interrupted() && result.code != 0 && result.code != kExitOutput) {
                result.code = 0;
                result.interrupted = true;
            }
        }
        if (!staging.empty())
            fs::remove_all(staging, error);
        if (!key.empty() && result.code == 0 && !result.interrupted)
            WriteRecord(record, key, result);
    }
    std::lock_guard<std::mutex> guard(lock);
    result.done = true;
    PrintFinished();
}

/// What makes a document's pages: every option that shapes them, the version,
/// and the document's file as it is now. Empty when the document cannot be
/// told apart from a changed one (its file cannot be read for its stamp).
std::string Batch::RecordKey(const Input& input) const
{
    std::error_code error;
    const fs::path document = fs::absolute(input.given, error);
    const std::string stamp = error ? std::string() : FileStamp(document);
    if (stamp.empty())
        return std::string();
    std::string made = std::string(QUILLET_VERSION) + "\n" + document.string() + "\n" + stamp + "\n" +
                       options.namePattern + "\n" + options.customParams + "\n" + options.ijsManufacturer + "\n" +
                       options.ijsModel + "\n" + options.ijsParams + "\n";
    for (long long number :
         {static_cast<long long>(options.format), static_cast<long long>(options.resolution),
          static_cast<long long>(options.pageWidth), static_cast<long long>(options.pageHeight),
          static_cast<long long>(options.fitWidth), static_cast<long long>(options.fitHeight),
          static_cast<long long>(options.antiAliasing), static_cast<long long>(options.jpegQuality),
          static_cast<long long>(options.cie), static_cast<long long>(options.ttFont),
          static_cast<long long>(options.ijsModelGiven), static_cast<long long>(options.ijsParamsGiven),
          options.maxPages, options.maxPagePixels, static_cast<long long>(!password.empty())})
        made += std::to_string(number) + " ";
    for (const auto& range : options.pages)
        made += std::to_string(range.first) + "-" + std::to_string(range.second) + ",";
    return Fingerprint(made);
}

/// True when record says that the pages of key are complete and every file
/// it lists is as it left it; result then holds the earlier run's counts.
bool Batch::ReadRecord(const fs::path& record, const std::string& key, Result& result) const
{
    // A regular file only: a link to a device would never end a line.
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(record, error)))
        return false;
    std::ifstream in(record, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kRecordHeader || !std::getline(in, line) || line != "key " + key)
        return false;
    long pages = -1, copies = -1, collated = 0;
    if (!std::getline(in, line) ||
        std::sscanf(line.c_str(), "pages %ld copies %ld collated %ld", &pages, &copies, &collated) != 3)
        return false;
    const bool singleFile = IsSingleFileFormat(options.format);
    std::size_t files = 0;
    std::string outputFile;
    while (std::getline(in, line)) {
        // "SIZE TIME NAME"
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos || second + 1 >= line.size())
            return false;
        const std::string name = line.substr(second + 1);
        if (name.find('/') != std::string::npos || name == "." || name == "..")
            return false;
        const fs::path file = record.parent_path() / name;
        if (FileStamp(file) != line.substr(0, second))
            return false;
        outputFile = file.string();
        ++files;
    }
    if (!in.eof() || (singleFile ? files != 1 : static_cast<long>(files) != pages))
        return false;
    result.pageCount = pages;
    result.copies = static_cast<int>(copies);
    result.collated = collated != 0;
    if (singleFile)
        result.outputFile = outputFile;
    return true;
}

/// Writes record for the pages of result, whole or not at all: a new file
/// beside it, renamed over it.
void Batch::WriteRecord(const fs::path& record, const std::string& key, const Result& result) const
{
    std::string text = std::string(kRecordHeader) + "\nkey " + key + "\npages " + std::to_string(result.pageCount) +
                       " copies " + std::to_string(result.copies) + " collated " + (result.collated ? "1" : "0") +
                       "\n";
    std::vector<std::string> files;
    for (const PageOut& page : result.pages)
        files.push_back(page.path);
    if (IsSingleFileFormat(options.format))
        files.assign(1, result.outputFile);
    for (const std::string& file : files) {
        const std::string stamp = FileStamp(file);
        const std::string name = fs::path(file).filename().string();
        if (stamp.empty() || fs::path(file).parent_path() != record.parent_path() ||
            name.find('\n') != std::string::npos)
            return;  // no record: the next run renders it again
        text += stamp + " " + name + "\n";
    }
    std::error_code error;
    // A name of its own, should another call write the same record at once.
    std::random_device random;
    const fs::path fresh = record.string() + "." + Fingerprint(key + std::to_string(random())) + ".new";
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            fs::remove(fresh, error);
            return;
        }
    }
    fs::rename(fresh, record, error);
    if (error)
        fs::remove(fresh, error);
}

/// Prints the finished documents' reports that are next in command-line order.
void Batch::PrintFinished()
{
    for (; nextToPrint < results.size() && results[nextToPrint].done; ++nextToPrint)
        Print(nextToPrint);
}

void Batch::Print(std::size_t index)
{
    const Input& input = inputs[index];
    const Result& result = results[index];
    if (progress) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    const std::string prefix = severalDocuments ? Printable(input.given) + ": " : std::string();
    if (result.code != 0) {
        std::fprintf(stderr, "%s: %s%s: %s\n", kProgram, prefix.c_str(), result.stage.c_str(),
                     Printable(result.reason).c_str());
        if (!result.report.empty()) {
            std::string report = Printable(result.report, true);
            if (report.back() != '\n')
                report += '\n';
            std::fprintf(stderr, "Ghostscript's report:\n%s", report.c_str());
        }
    }
    if (options.json) {
        for (const PageOut& page : result.pages) {
            std::printf("{\"document\": %s, \"page\": %ld, \"path\": %s, ", JsonString(input.given).c_str(),
                        page.number, JsonString(page.path).c_str());
            if (page.width > 0)
                std::printf("\"width\": %ld, \"height\": %ld, ", page.width, page.height);
            else
                std::printf("\"width\": null, \"height\": null, ");
            std::printf("\"orientation\": %d}\n", page.orientation);
        }
        std::printf("{\"document\": %s, \"pages\": %ld, \"copies\": %d, \"collated\": %s, ",
                    JsonString(input.given).c_str(), result.pageCount, result.copies,
                    result.collated ? "true" : "false");
        if (result.skipped)
            std::printf("\"skipped\": true, ");
        if (!result.outputFile.empty())
            std::printf("\"output\": %s, ", JsonString(result.outputFile).c_str());
        if (result.interrupted)
            std::printf("\"interrupted\": true, ");
        if (result.code != 0)
            std::printf("\"exit\": %d, \"failure\": {\"stage\": %s, \"reason\": %s}}\n", result.code,
                        JsonString(result.stage).c_str(), JsonString(result.reason).c_str());
        else
            std::printf("\"exit\": 0, \"failure\": null}\n");
    } else if (!options.quiet && !options.toStandardOutput) {
        for (const PageOut& page : result.pages)
            std::printf("page %ld: %s (orientation %d)\n", page.number, Printable(page.path).c_str(),
                        page.orientation);
        if (result.skipped) {
            std::printf("%sskipped: %s complete from an earlier run\n", prefix.c_str(),
                        result.outputFile.empty() ? Plural(result.pageCount, "page", "pages").c_str()
                                                  : Printable(result.outputFile).c_str());
        } else if (result.code == 0 && !result.interrupted) {
            if (options.splitMerge)
                std::printf("%srendering ended well; the output is where the split/merge parameters put it\n",
                            prefix.c_str());
            else if (!result.outputFile.empty())
                std::printf("%soutput: %s\n", prefix.c_str(), Printable(result.outputFile).c_str());
            else
                std::printf("%s%s, %s, %s\n", prefix.c_str(), Plural(result.pageCount, "page", "pages").c_str(),
                            result.copies < 0 ? "copies unknown" : Plural(result.copies, "copy", "copies").c_str(),
                            result.collated ? "collated" : "not collated");
        }
    }
    std::fflush(stdout);
}

int Batch::Run()
{
    CollectInputs();
    if (options.toStandardOutput && inputs.size() > 1)
        UsageError("-o - writes one file to standard output, and " + std::to_string(inputs.size()) +
                   " documents make several; give a folder");
    if (options.toStandardOutput && options.splitMerge)
        UsageError("-o - and --split-merge: the split/merge parameters say where the output goes");
    if (!options.passwordFile.empty()) {
        if (options.passwordFile == "-" && stdinTaken)
            UsageError("standard input can give one thing only: the password, the list or a document");
        std::ifstream file;
        if (options.passwordFile != "-")
            file.open(options.passwordFile);
        std::istream& in = options.passwordFile == "-" ? std::cin : file;
        if (!in)
            UsageError("cannot read the password file " + options.passwordFile);
        std::getline(in, password);
        while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
            password.pop_back();
        // The parameter string has no escapes: a quote cannot be passed in it.
        if (password.find('"') != std::string::npos)
            UsageError("a password that holds '\"' cannot be given to the service");
        if (!IsUtf8(password))
            UsageError("the password is not valid UTF-8");
    }
    for (Input& input : inputs)
        Prepare(input);

    std::error_code error;
    if (options.toStandardOutput || options.outputFolder.empty()) {
        outputFolder = MakePrivateFolder(fs::temp_directory_path(error), "quillet-rip-", error);
        if (outputFolder.empty()) {
            std::fprintf(stderr, "%s: cannot make an output folder: %s\n", kProgram, error.message().c_str());
            return kExitOutput;
        }
        defaultFolder = !options.toStandardOutput;
    } else {
        outputFolder = fs::absolute(options.outputFolder, error);
    }
    progress = !options.quiet && IsTerminal(stderr);
    results.resize(inputs.size());

    long workers = options.jobs;
    if (workers == 0) {
        const char* processors = std::getenv("NUMBER_OF_PROCESSORS");
        workers = processors != nullptr ? std::atol(processors) : 0;
        if (workers <= 0)
            workers = static_cast<long>(std::max(1U, std::thread::hardware_concurrency()));
    }
    workers = std::min<long>(workers, static_cast<long>(inputs.size()));
    std::vector<std::thread> threads;
    auto work = [this] {
        for (std::size_t k; (k = nextToRender++) < inputs.size();)
            Render(k);
    };
    for (long k = 1; k < workers; ++k)
        threads.emplace_back(work);
    work();
    for (std::thread& thread : threads)
        thread.join();

    int status = 0;
    for (const Result& result : results)
        status = std::max(status, result.code);
    if (options.toStandardOutput && status == 0 && !Interrupted()) {
        const Result& result = results[0];
        if (result.pages.size() > 1) {
            std::fprintf(stderr, "%s: -o - writes one file to standard output, and %s has more than one page; "
                                 "choose one with --pages N, or give a folder\n",
                         kProgram, Printable(inputs[0].given).c_str());
            status = kExitUsage;
        } else {
            const std::string file = result.pages.empty() ? result.outputFile : result.pages[0].path;
            std::ifstream in(file, std::ios::binary);
            std::cout << in.rdbuf();
            std::cout.flush();
            if (!in || !std::cout) {
                std::fprintf(stderr, "%s: cannot write the output to standard output\n", kProgram);
                status = kExitOutput;
            }
        }
        fs::remove_all(outputFolder, error);
    } else if (options.toStandardOutput) {
        fs::remove_all(outputFolder, error);
    }
    if (Interrupted()) {
        std::fprintf(stderr, "%s: interrupted after %s\n", kProgram,
                     Plural(pagesHandedOut.load(), "page", "pages").c_str());
        status = interruptStatus.load();
    }
    // Where the pages went, also with -q: a default folder is known to nobody
    // else. One that stayed empty goes.
    if (defaultFolder && fs::is_empty(outputFolder, error))
        fs::remove(outputFolder, error);
    else if (defaultFolder && options.quiet && !options.json)
        std::printf("%s\n", Printable(outputFolder.string()).c_str());
    else if (defaultFolder && !options.json)
        std::printf("pages in %s\n", Printable(outputFolder.string()).c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ParseCommandLine(argc, argv);
    UseBinaryStandardStreams();
    int status;
    {
        // Before any thread starts: the requests come to this watch only.
        InterruptWatch watch(Interrupt);
        Batch batch(options);
        try {
            status = batch.Run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", kProgram, Printable(e.what()).c_str());
            status = kExitRenderFailed;
        }
    }
    if (interruptStatus.load() != 0)
        Quillet::StopOfficeProcesses();  // their folders go now, not at exit
    return status;
}
