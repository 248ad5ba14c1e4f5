// quillet-rip: renders one document into page images from the command line,
// through the public interface of libquillet.
//
//   quillet-rip [options] DOCUMENT
//
// Pages are printed as they arrive ("page N: PATH (orientation O)"), then a
// summary; with --split-merge Ghostscript writes where the parameters say, and
// only the run's outcome is printed. A failure prints one line naming its
// cause, then Ghostscript's report when there is one, with control characters
// replaced (the report holds the job's own text); the exit codes are listed
// in PrintUsage. The document reaches the service as the value of its
// "docname" key, so that no part of its name is read as a key.
#include <quillet/quillet.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

const char* const kProgram = "quillet-rip";

// Exit codes, one per kind of failure.
constexpr int kExitRenderFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCaptureFailed = 3;

// The output formats by their renderer device names, in RIPFormat order.
const char* const kFormatNames[] = {"bmp32b",  "bmpgray", "png256", "pngalpha",
                                    "pnggray", "jpeg",    "jpeggray", "tiff32nc",
                                    "tiffg32d", "png16m", "ijs",     "ps2write"};
constexpr int kFormatCount = sizeof kFormatNames / sizeof kFormatNames[0];

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
        "Usage: %s [options] DOCUMENT\n"
        "Renders DOCUMENT into one image file per page.\n"
        "\n"
        "  -o, --output DIR          folder for the page files (default: a folder in the\n"
        "                            temporary directory)\n"
        "  -f, --format NAME         output format: bmp32b bmpgray png256 pngalpha pnggray\n"
        "                            jpeg jpeggray tiff32nc tiffg32d png16m ijs ps2write, or\n"
        "                            its number 0-11 (default: pngalpha)\n"
        "  -r, --resolution DPI      resolution in dots per inch\n"
        "  -g, --page-size WxH       page size in device pixels\n"
        "      --cie                 render with CIE-based colour\n"
        "      --ttfont              give the system's fonts folder to the renderer\n"
        "      --split-merge PARAMS  renderer parameters that replace the output switches;\n"
        "                            the output goes where they say, and no pages are listed\n"
        "      --ijs-model MFR MODEL manufacturer and model for the ijs format\n"
        "      --ijs-params P        parameters for the IJS server\n"
        "      --pages A-B           render only pages A to B of the document (also A, and\n"
        "                            A- for A to the end); pages keep their numbers\n"
        "      --callback            take the pages through a callback as they arrive\n"
        "      --time-limit SECONDS  stop and fail the run once it has taken this long\n"
        "                            (default: 300)\n"
        "      --max-output-mb MB    stop and fail the run once it has written more than\n"
        "                            this many megabytes (1 MB = 1048576 bytes) of pages\n"
        "                            and temporary files (default: 4096)\n"
        "      --max-memory-mb MB    memory each renderer process may fill (default: 2048)\n"
        "      --max-pages N         fail the run when it has more pages (default: 10000)\n"
        "      --max-page-pixels N   fail the run, before rendering it, at a page of more\n"
        "                            pixels (default: 100000000)\n"
        "                            (0 for any of these five bounds lifts it)\n"
        "      --password-file FILE  the password of an encrypted PDF document: the first\n"
        "                            line of FILE, or of standard input for \"-\" (never\n"
        "                            given on the command line, where others could read it)\n"
        "  -q, --quiet               print nothing but errors\n"
        "  -h, --help                show this help\n"
        "      --version             show the version and how the programs that read\n"
        "                            documents are confined on this system\n"
        "\n"
        "Exit status: 0 when every page was rendered; 1 when rendering failed (the\n"
        "renderer could not start, reported an error or was killed); 2 on bad usage;\n"
        "3 when the document could not be captured (it cannot be read, its type cannot\n"
        "be printed, the print system or its queue is missing, no job came).\n",
        kProgram);
}

/// UTF-8 to a wide string; false when the bytes are not well-formed UTF-8.
bool DecodeUtf8(const std::string& bytes, std::wstring& out)
{
    out.clear();
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        std::uint32_t value;
        std::size_t length;
        if (lead < 0x80) {
            value = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            value = lead & 0x1F;
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            value = lead & 0x0F;
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            value = lead & 0x07;
            length = 4;
        } else {
            return false;
        }
        if (i + length > bytes.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF.
        if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) ||
            (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
            return false;
        out.push_back(static_cast<wchar_t>(value));
        i += length;
    }
    return true;
}

/// A wide string as UTF-8 for printing; values that are no characters print as U+FFFD.
std::string EncodeUtf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        std::uint32_t value = static_cast<std::uint32_t>(c);
        if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
            value = 0xFFFD;
        if (value < 0x80) {
            out.push_back(static_cast<char>(value));
        } else if (value < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (value >> 6)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else if (value < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (value >> 12)));
            out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (value >> 18)));
            out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        }
    }
    return out;
}

/// text for a terminal: control characters (with which a job's text could
/// move the cursor, set the window title or clear the screen) become U+FFFD;
/// keepLines keeps the line ends of a report.
std::string Printable(const std::string& text, bool keepLines = false)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // C1 controls arrive as UTF-8 (0xC2 0x80 to 0xC2 0x9F).
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if ((c < 0x20 && !(keepLines && c == '\n')) || c == 0x7F || c1) {
            out += "\xEF\xBF\xBD";
            i += c1 ? 1 : 0;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

/// The service parameter string that names document and nothing else: its
/// path as the value of "docname" (and of "printjobfile" for a ".ps" file,
/// which is its own print job), so that no part of the name is read as a key.
/// The grammar has no escapes: a value with a blank must be quoted, a quoted
/// value cannot hold a quote. False for a name that needs both.
bool DocumentParams(const std::wstring& document, std::wstring& params)
{
    const bool blank = document.find_first_of(L" \t") != std::wstring::npos;
    const bool quote = document.find(L'"') != std::wstring::npos;
    if (document.empty() || (blank && quote) || (quote && (document[0] == L'"' || document[0] == L'-')))
        return false;
    const std::wstring value = quote ? document : L"\"" + document + L"\"";
    params = L"docname=" + value;
    const std::size_t dot = document.rfind(L'.');
    if (dot != std::wstring::npos && document.find(L'/', dot) == std::wstring::npos &&
        document.size() == dot + 3 && (document[dot + 1] | 0x20) == L'p' && (document[dot + 2] | 0x20) == L's')
        params += L" printjobfile=" + value;
    return true;
}

/// A whole decimal number in [minimum, maximum].
bool ParseNumber(const std::string& text, long minimum, long maximum, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= minimum && value <= maximum;
}

struct Options {
    std::string document;
    std::string outputFolder;
    Quillet::RIPFormat format = Quillet::RIP_PNGALPHA;
    bool formatGiven = false;
    long resolution = 0;
    long pageWidth = 0;
    long pageHeight = 0;
    bool cie = false;
    bool ttFont = false;
    bool splitMerge = false;
    std::string customParams;
    bool ijsModelGiven = false;
    std::string ijsManufacturer;
    std::string ijsModel;
    bool ijsParamsGiven = false;
    std::string ijsParams;
    bool callback = false;
    bool quiet = false;
    // The library's bounds unless the command line sets others (0: none).
    long timeLimit = Quillet::IRIPBase::kDefaultTimeLimit;
    long maxOutputMb = static_cast<long>(Quillet::IRIPBase::kDefaultMaxOutputBytes >> 20);
    long maxMemoryMb = static_cast<long>(Quillet::IRIPBase::kDefaultMaxMemoryBytes >> 20);
    long maxPages = Quillet::IRIPBase::kDefaultMaxPages;
    long maxPagePixels = static_cast<long>(Quillet::IRIPBase::kDefaultMaxPagePixels);
    std::string passwordFile;
    long firstPage = 0;  // 0: every page
    long lastPage = 0;   // 0: to the end
};

/// The options that set a bound of the run, each a whole number, 0 for none.
struct Bound {
    const char* option;
    const char* needs;  // what the option needs, for the usage error
    const char* what;
    const char* unit;
    long maximum;
    long Options::*field;
};

const Bound* FindBound(const std::string& option)
{
    static const Bound kBounds[] = {
        {"--time-limit", "a number of seconds", "time limit", "whole seconds", 2147483647L, &Options::timeLimit},
        {"--max-output-mb", "a number of megabytes", "output limit", "whole megabytes", 8796093022207L,
         &Options::maxOutputMb},
        {"--max-memory-mb", "a number of megabytes", "memory bound", "whole megabytes", 8796093022207L,
         &Options::maxMemoryMb},
        {"--max-pages", "a number of pages", "page bound", "whole pages", 2147483647L, &Options::maxPages},
        {"--max-page-pixels", "a number of pixels", "page pixel bound", "whole pixels", 9223372036854775807L,
         &Options::maxPagePixels},
    };
    for (const Bound& bound : kBounds)
        if (option == bound.option)
            return &bound;
    return nullptr;
}

/// The version line, and what the programs that read documents can reach.
void PrintVersion()
{
    std::wstring how;
    const Quillet::RIPConfinement confinement = Quillet::GetRIPConfinement(&how);
    const char* level = confinement == Quillet::RIP_CONFINEMENT_FULL    ? "full"
                        : confinement == Quillet::RIP_CONFINEMENT_NONE ? "none, only a private temporary folder"
                                                                        : "partial";
    std::printf("%s %s\nconfinement: %s (%s)\n", kProgram, QUILLET_VERSION, level, EncodeUtf8(how).c_str());
}

[[noreturn]] void UsageError(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, Printable(message).c_str(), kProgram);
    std::exit(kExitUsage);
}

/// Reads the command line; exits for --help, --version and usage errors.
Options ParseCommandLine(int argc, char** argv)
{
    Options options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // "--name=value" and "-xVALUE" carry their value inline.
        std::string name = arg, inlineValue;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
                hasInline = true;
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            inlineValue = arg.substr(2);
            hasInline = true;
        }
        auto value = [&](const char* what) -> std::string {
            if (hasInline) {
                hasInline = false;
                return inlineValue;
            }
            if (i + 1 >= argc)
                UsageError("option " + name + " needs " + what);
            return argv[++i];
        };
        auto noValue = [&] {
            if (hasInline)
                UsageError("option " + name + " takes no value");
        };

        if (name == "-h" || name == "--help") {
            noValue();
            PrintUsage(stdout);
            std::exit(0);
        } else if (name == "--version") {
            noValue();
            PrintVersion();
            std::exit(0);
        } else if (name == "-o" || name == "--output") {
            options.outputFolder = value("a folder");
            if (options.outputFolder.empty())
                UsageError("the output folder is empty");
        } else if (name == "-f" || name == "--format") {
            const std::string format = value("a format name");
            long number = -1;
            for (int k = 0; k < kFormatCount; ++k)
                if (format == kFormatNames[k])
                    number = k;
            if (number < 0 && !ParseNumber(format, 0, kFormatCount - 1, number))
                UsageError("unknown format '" + format + "'");
            options.format = static_cast<Quillet::RIPFormat>(number);
            options.formatGiven = true;
        } else if (name == "-r" || name == "--resolution") {
            const std::string dpi = value("a resolution");
            if (!ParseNumber(dpi, 1, 100000, options.resolution))
                UsageError("invalid resolution '" + dpi + "'");
        } else if (name == "-g" || name == "--page-size") {
            const std::string size = value("a size WxH");
            const std::size_t x = size.find_first_of("xX");
            if (x == std::string::npos || !ParseNumber(size.substr(0, x), 1, 1000000, options.pageWidth) ||
                !ParseNumber(size.substr(x + 1), 1, 1000000, options.pageHeight))
                UsageError("invalid page size '" + size + "' (expected WxH in pixels)");
        } else if (name == "--cie") {
            noValue();
            options.cie = true;
        } else if (name == "--ttfont") {
            noValue();
            options.ttFont = true;
        } else if (name == "--split-merge") {
            options.splitMerge = true;
            options.customParams = value("renderer parameters");
        } else if (name == "--ijs-model") {
            options.ijsManufacturer = value("a manufacturer and a model");
            options.ijsModel = value("a model");
            options.ijsModelGiven = true;
        } else if (name == "--ijs-params") {
            options.ijsParams = value("parameters");
            options.ijsParamsGiven = true;
        } else if (const Bound* bound = FindBound(name)) {
            const std::string text = value(bound->needs);
            if (!ParseNumber(text, 0, bound->maximum, options.*(bound->field)))
                UsageError("invalid " + std::string(bound->what) + " '" + text + "' (" + bound->unit + ", 0 for none)");
        } else if (name == "--pages") {
            const std::string pages = value("a page range A-B");
            const std::size_t dash = pages.find('-');
            const std::string first = pages.substr(0, dash);
            const std::string last = dash == std::string::npos ? first : pages.substr(dash + 1);
            options.lastPage = 0;
            if (!ParseNumber(first, 1, 2147483647L, options.firstPage) ||
                (!last.empty() && !ParseNumber(last, options.firstPage, 2147483647L, options.lastPage)))
                UsageError("invalid page range '" + pages + "' (expected A-B, A or A-, pages from 1)");
        } else if (name == "--password-file") {
            options.passwordFile = value("a file");
        } else if (name == "--callback") {
            noValue();
            options.callback = true;
        } else if (name == "-q" || name == "--quiet") {
            noValue();
            options.quiet = true;
        } else {
            UsageError("unknown option '" + arg + "'");
        }
    }
    if (positional.empty())
        UsageError("no document given");
    if (positional.size() > 1)
        UsageError("one document only, got '" + positional[1] + "' as well");
    options.document = positional[0];
    return options;
}

std::wstring Wide(const std::string& text, const char* what)
{
    std::wstring wide;
    if (!DecodeUtf8(text, wide)) {
        std::string shown = Printable(text);
        for (char& c : shown)
            if (static_cast<unsigned char>(c) >= 0x80)
                c = '?';  // not UTF-8: a terminal could take such bytes for controls
        std::fprintf(stderr, "%s: the %s is not valid UTF-8: %s\n", kProgram, what, shown.c_str());
        std::exit(kExitUsage);
    }
    return wide;
}

/// Prints the pages as they arrive, with a progress line on a terminal.
/// OnPageReady runs on the library's thread in callback mode, on the main
/// thread otherwise; stdio serialises the output.
class PageReporter : public Quillet::IPageNotify {
public:
    explicit PageReporter(bool quiet)
        : quiet(quiet), progress(!quiet && isatty(STDERR_FILENO) == 1),
          start(std::chrono::steady_clock::now())
    {
    }

    void OnPageReady(std::int32_t pageNumber, Quillet::BitmapFile& page) override
    {
        Report(pageNumber, page.GetFilePath(), page.Orientation());
    }

    void Report(std::int32_t pageNumber, const std::wstring& path, std::int32_t orientation)
    {
        const int seen = ++pagesSeen;
        if (quiet)
            return;
        ClearProgress();
        std::printf("page %d: %s (orientation %d)\n", pageNumber, Printable(EncodeUtf8(path)).c_str(),
                    orientation);
        std::fflush(stdout);
        if (progress) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "rendering: %d page%s in %.1f s", seen, seen == 1 ? "" : "s", seconds);
            std::fflush(stderr);
        }
    }

    void ClearProgress()
    {
        if (progress) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

    int PagesSeen() const { return pagesSeen; }

private:
    const bool quiet;
    const bool progress;
    const std::chrono::steady_clock::time_point start;
    std::atomic<int> pagesSeen{0};
};

std::string Plural(long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int Fail(const std::string& message, int code = kExitRenderFailed)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, Printable(message).c_str());
    return code;
}

/// Prints why the service's job failed (fallback when it recorded nothing),
/// then Ghostscript's report; returns the exit code for the failed stage.
int FailWithReason(Quillet::IRIPBase& rip, const std::string& fallback)
{
    Quillet::RIPFailure failure;
    Quillet::IRIPStatus* status = Quillet::GetRIPStatus(&rip);
    if (status == nullptr || !status->GetLastFailure(failure))
        return Fail(fallback);
    static const char* const kStages[] = {"failed", "capture failed", "start failed", "rendering failed",
                                          "stop failed"};
    const int stage = failure.stage >= 0 && failure.stage <= 4 ? failure.stage : 0;
    const int code = failure.stage == Quillet::RIP_STAGE_CAPTURE ? kExitCaptureFailed : kExitRenderFailed;
    Fail(std::string(kStages[stage]) + ": " + EncodeUtf8(failure.reason), code);
    if (!failure.report.empty()) {
        // The job's own text is part of it.
        std::string report = Printable(EncodeUtf8(failure.report), true);
        if (report.back() != '\n')
            report += '\n';
        std::fprintf(stderr, "Ghostscript's report:\n%s", report.c_str());
    }
    return code;
}

/// The text settings as the service takes them; converted before the service
/// exists, so that a bad argument leaves nothing to clean up.
struct WideSettings {
    std::wstring document, outputFolder, customParams, ijsManufacturer, ijsModel, ijsParams;
};

WideSettings Widen(const Options& options, const std::string& document)
{
    WideSettings wide;
    wide.document = Wide(document, "document path");
    wide.outputFolder = Wide(options.outputFolder, "output folder");
    wide.customParams = Wide(options.customParams, "split/merge parameter text");
    wide.ijsManufacturer = Wide(options.ijsManufacturer, "IJS manufacturer");
    wide.ijsModel = Wide(options.ijsModel, "IJS model");
    wide.ijsParams = Wide(options.ijsParams, "IJS parameter text");
    return wide;
}

/// The first line of file ("-": standard input), without its line break.
bool ReadPassword(const std::string& file, std::string& password)
{
    std::FILE* in = file == "-" ? stdin : std::fopen(file.c_str(), "re");
    if (in == nullptr) {
        std::fprintf(stderr, "%s: cannot read the password file %s: %s\n", kProgram, file.c_str(),
                     std::strerror(errno));
        return false;
    }
    char* line = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = ::getline(&line, &capacity, in);
    if (length > 0)
        password.assign(line, static_cast<std::size_t>(length));
    std::free(line);
    if (in != stdin)
        std::fclose(in);
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        password.pop_back();
    return true;
}

/// Sets up the service, renders, prints; returns the exit code.
int Render(Quillet::IRIPBase& rip, const Options& options, const WideSettings& wide,
           PageReporter& reporter)
{
    if (!wide.outputFolder.empty())
        rip.SetOutputFolder(wide.outputFolder);
    rip.SetOutputFormat(options.format);
    if (options.resolution > 0)
        rip.SetResolution(static_cast<std::int32_t>(options.resolution));
    if (options.pageWidth > 0)
        rip.SetPageSize(static_cast<std::int32_t>(options.pageWidth),
                        static_cast<std::int32_t>(options.pageHeight));
    rip.SetUseCIEColor(options.cie);
    rip.SetUseTTFont(options.ttFont);
    if (options.splitMerge) {
        rip.SetIsSplitMerge(true);
        rip.SetCustomParams(wide.customParams);
    }
    if (options.ijsModelGiven)
        rip.SetIJSModel(wide.ijsManufacturer, wide.ijsModel);
    if (options.ijsParamsGiven)
        rip.SetIJSParams(wide.ijsParams);
    rip.SetTimeLimit(static_cast<std::int32_t>(options.timeLimit));
    rip.SetMaxOutputBytes(static_cast<std::int64_t>(options.maxOutputMb) << 20);
    rip.SetMaxMemoryBytes(static_cast<std::int64_t>(options.maxMemoryMb) << 20);
    rip.SetMaxPages(static_cast<std::int32_t>(options.maxPages));
    rip.SetMaxPagePixels(static_cast<std::int64_t>(options.maxPagePixels));
    rip.SetPageRange(static_cast<std::int32_t>(options.firstPage), static_cast<std::int32_t>(options.lastPage));

    try {
        if (!rip.StartRIP())
            return FailWithReason(rip, "cannot capture the job for " + options.document);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }

    if (options.splitMerge) {
        // The parameters replace the output switches: Ghostscript writes
        // where they say, and the service sees no page of its own to count.
        std::wstring ignored;
        rip.GetOutputFile(ignored);  // waits for the end of the run
        reporter.ClearProgress();
        if (rip.GetPageCount() < 0)
            return FailWithReason(rip, "rendering failed");
        if (!options.quiet)
            std::printf("rendering ended well; the output is where the split/merge parameters put it\n");
        return 0;
    }

    const bool singleFile =
        options.format == Quillet::RIP_IJS || options.format == Quillet::RIP_PSWRITE;
    if (singleFile) {
        // The printer-language formats write one file for the whole job.
        std::wstring path;
        const bool exists = rip.GetOutputFile(path);
        reporter.ClearProgress();
        if (rip.GetPageCount() < 0)
            return FailWithReason(rip, "rendering failed");
        if (!exists)
            return Fail("rendering wrote no output file (" + EncodeUtf8(path) + ")");
        if (!options.quiet)
            std::printf("output: %s\n", Printable(EncodeUtf8(path)).c_str());
        return 0;
    }

    if (options.callback) {
        if (!rip.GetPages(&reporter, true))
            return FailWithReason(rip, "rendering failed");
        // The callback reports; this thread only waits for the end.
        std::wstring ignored;
        rip.GetOutputFile(ignored);
    } else {
        // The pages keep the document's numbers, from the range's first on.
        Quillet::BitmapFile page;
        for (std::int32_t n = std::max<std::int32_t>(1, static_cast<std::int32_t>(options.firstPage));
             rip.GetPage(n, page); ++n)
            reporter.Report(n, page.GetFilePath(), page.Orientation());
    }
    reporter.ClearProgress();

    const std::int32_t pages = rip.GetPageCount();
    if (pages < 0)
        return FailWithReason(rip, "rendering failed");
    if (!options.quiet) {
        const std::int32_t copies = rip.GetNumCopies();
        std::printf("%s, %s, %s\n", Plural(pages, "page", "pages").c_str(),
                    copies < 0 ? "copies unknown" : Plural(copies, "copy", "copies").c_str(),
                    rip.GetIsCollated() ? "collated" : "not collated");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ParseCommandLine(argc, argv);

    // The library is given absolute paths: its runs don't depend on the
    // working folder.
    std::error_code error;
    if (!std::filesystem::is_regular_file(options.document, error)) {
        std::fprintf(stderr, "%s: cannot read the document %s: %s\n", kProgram,
                     Printable(options.document).c_str(),
                     std::filesystem::exists(options.document, error) ? "not a regular file"
                                                                      : "no such file");
        return kExitCaptureFailed;
    }
    const std::string document = std::filesystem::absolute(options.document, error).string();
    Options resolved = options;
    if (!options.outputFolder.empty()) {
        // Made by the service when missing, private to this user.
        resolved.outputFolder = std::filesystem::absolute(options.outputFolder, error).string();
    }

    const WideSettings wide = Widen(resolved, document);
    std::wstring params;
    if (!DocumentParams(wide.document, params)) {
        std::fprintf(stderr, "%s: a document name that holds a quote and a blank, or begins with a quote, "
                             "cannot be given to the service; rename it: %s\n",
                     kProgram, Printable(document).c_str());
        return kExitUsage;
    }
    if (!options.passwordFile.empty()) {
        std::string password;
        if (!ReadPassword(options.passwordFile, password))
            return kExitUsage;
        // The parameter string has no escapes: a quote cannot be passed in it.
        if (password.find('"') != std::string::npos) {
            std::fprintf(stderr, "%s: a password that holds '\"' cannot be given to the service\n", kProgram);
            return kExitUsage;
        }
        params += L" password=\"" + Wide(password, "password") + L"\"";
    }

    Quillet::IRIPBase* rip = Quillet::CreateRIPService(params);
    if (!rip)
        return Fail("cannot create the service");
    PageReporter reporter(options.quiet);
    int status;
    try {
        status = Render(*rip, resolved, wide, reporter);
    } catch (const std::exception& e) {
        status = Fail(e.what());
    }
    // Release stops a run that is still going and waits for it.
    rip->Release();
    return status;
}
