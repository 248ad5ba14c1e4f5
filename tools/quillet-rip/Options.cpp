// quillet-rip's command line: usage text, format names, option parsing.
#include "Options.h"

#include "Naming.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace Rip {

const char* const kProgram = "quillet-rip";

namespace {

// The renderer's device names, in RIPFormat order, then the names people use
// for the same outputs.
// The one-file TIFF (13) has no name of its own: it is tiff with --single-file.
const char* const kDeviceNames[] = {"bmp32b",   "bmpgray",  "png256", "pngalpha", "pnggray",  "jpeg",    "jpeggray",
                                    "tiff32nc", "tiffg32d", "png16m", "ijs",      "ps2write", "tiff24nc"};
constexpr long kNamedFormats = sizeof kDeviceNames / sizeof kDeviceNames[0];
constexpr long kFormatCount = Quillet::RIP_TIFFLZW_FILE + 1;
const struct {
    const char* name;
    Quillet::RIPFormat format;
} kFamiliarNames[] = {
    {"png", Quillet::RIP_PNG16M},  {"jpg", Quillet::RIP_JPEG},     {"tiff", Quillet::RIP_TIFFLZW},
    {"tif", Quillet::RIP_TIFFLZW},  {"bmp", Quillet::RIP_BMP32B},  {"gray", Quillet::RIP_PNGGRAY},
    {"ps", Quillet::RIP_PSWRITE},   {"pcl", Quillet::RIP_IJS},
};

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
        "Usage: %s [options] DOCUMENT...\n"
        "Renders each DOCUMENT into one image file per page. A DOCUMENT may be a folder\n"
        "(its files, in name order) or \"-\" (standard input, its kind read from its\n"
        "content).\n"
        "\n"
        "  -o, --output DIR          folder for the pages (default: a new folder in the\n"
        "                            temporary directory); \"-\": standard output, for one\n"
        "                            output file (a page, or a single-file format)\n"
        "      --name PATTERN        page file names under DIR, from {stem} {name} {page}\n"
        "                            {ext} {index} (default: {stem}-{page}.{ext}; with\n"
        "                            several documents, a folder or a list:\n"
        "                            {stem}/{stem}-{page}.{ext}; single-file formats:\n"
        "                            {stem}.{ext}); {page} is padded with zeros to the\n"
        "                            width of the last page's number\n"
        "      --from-list FILE      render the documents FILE names, one a line (\"-\":\n"
        "                            standard input)\n"
        "  -j, --jobs N              documents rendered at once (default: one per\n"
        "                            processor)\n"
        "      --shard K/N           render only share K of N of the documents (every\n"
        "                            N-th, from the K-th; K from 1), for N calls that\n"
        "                            split a list; with --from-list and no --shard, K and\n"
        "                            N come from a batch array task's environment (see\n"
        "                            below)\n"
        "      --redo                in a share, render every document, also one whose\n"
        "                            pages are complete from an earlier run\n"
        "      --json                one JSON object a line for each page and each\n"
        "                            document\n"
        "  -f, --format NAME         png (png16m, the default) jpeg/jpg tiff (tiff24nc,\n"
        "                            LZW) bmp (bmp32b) gray (pnggray) ps (ps2write) pcl\n"
        "                            (ijs), or a device: bmp32b bmpgray png256 pngalpha\n"
        "                            pnggray jpeg jpeggray tiff32nc tiffg32d png16m ijs\n"
        "                            ps2write tiff24nc, or 0-13\n"
        "      --single-file         every page in one file (tiff: a multi-page TIFF)\n"
        "  -r, --resolution DPI      resolution in dots per inch (default: 150)\n"
        "  -g, --page-size WxH       page size in device pixels (the page is not scaled)\n"
        "      --fit WxH             scale each page to fit a box of WxH pixels, keeping\n"
        "                            its shape (instead of -r)\n"
        "      --pages LIST          render only these pages, e.g. 1,3,5-9 (and A- for A\n"
        "                            to the end); pages keep their numbers\n"
        "      --no-anti-aliasing    draw text with 1 bit and graphics with 2, as the\n"
        "                            library does by default (few colours, jagged edges)\n"
        "      --jpeg-quality N      quality of JPEG pages, 1 to 100 (default: 75)\n"
        "      --cie                 render with CIE-based colour\n"
        "      --ttfont              give the system's fonts folder to the renderer\n"
        "      --split-merge PARAMS  renderer parameters that replace the output\n"
        "                            switches; the output goes where they say, and no\n"
        "                            pages are listed\n"
        "      --ijs-model MFR MODEL manufacturer and model for the ijs format\n"
        "      --ijs-params P        parameters for the IJS server\n"
        "      --callback            take the pages through a callback as they arrive\n"
        "      --time-limit SECONDS  stop and fail a document's run once it has taken\n"
        "                            this long (default: 300)\n"
        "      --max-output-mb MB    stop and fail a run once it has written more than\n"
        "                            this many megabytes (1 MB = 1048576 bytes) of pages\n"
        "                            and temporary files (default: 4096)\n"
        "      --max-memory-mb MB    memory each renderer process may fill (default:\n"
        "                            2048)\n"
        "      --max-pages N         fail a run when it has more pages (default: 10000)\n"
        "      --max-page-pixels N   fail a run, before rendering it, at a page of more\n"
        "                            pixels (default: 100000000) (0 for any of these five\n"
        "                            bounds lifts it)\n"
        "      --password-file FILE  the password of an encrypted PDF document: the first\n"
        "                            line of FILE, or of standard input for \"-\" (never\n"
        "                            given on the command line, where others could read\n"
        "                            it)\n"
        "  -q, --quiet               print nothing but errors and, for a default folder,\n"
        "                            the folder\n"
        "  -h, --help                show this help\n"
        "      --version             show the version and how the programs that read\n"
        "                            documents are confined on this system\n"
        "\n"
        "A rerun replaces its pages and removes the pages of earlier runs under the same\n"
        "names. Into a folder given with -o, a share (--shard, or one taken from the\n"
        "environment) skips each document whose pages an earlier run with the same\n"
        "options completed and left unchanged (a hidden \".NAME.quillet-rip\" file beside\n"
        "them lists them); other runs render every document. Ctrl-C or SIGTERM stops:\n"
        "the pages handed out stay, nothing else does.\n"
        "\n"
        "Shares from the environment (with --from-list, without --shard): in a Slurm\n"
        "array task, K = (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) /\n"
        "SLURM_ARRAY_TASK_STEP + 1 and N = SLURM_ARRAY_TASK_COUNT; in a Kubernetes\n"
        "Indexed Job, K = JOB_COMPLETION_INDEX + 1 and N = QUILLET_SHARD_COUNT (set it to\n"
        "the job's completions).\n"
        "\n"
        "Exit status: 0 when every page was rendered; 1 when rendering failed (the\n"
        "renderer could not start, reported an error or was killed); 2 on bad usage;\n"
        "3 when the document could not be read or captured (it is missing, its type\n"
        "cannot be printed, the print system or its queue is missing, no job came);\n"
        "4 when a PDF's password is missing or wrong; 5 when the output cannot be\n"
        "written; 130 or 143 when interrupted (Ctrl-C, SIGTERM). With several documents,\n"
        "the largest of their codes.\n",
        kProgram);
}

/// A whole decimal number in [minimum, maximum].
template <typename Number>
bool ParseNumber(const std::string& text, long long minimum, long long maximum, Number& value)
{
    if (text.empty() || text[0] == '+' || text[0] == '-' || text[0] == ' ')
        return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum)
        return false;
    value = static_cast<Number>(parsed);
    return true;
}

bool ParseSize(const std::string& size, long& width, long& height)
{
    const std::size_t x = size.find_first_of("xX");
    return x != std::string::npos && ParseNumber(size.substr(0, x), 1, 1000000, width) &&
           ParseNumber(size.substr(x + 1), 1, 1000000, height);
}

/// "1,3,5-9,12-": ranges sorted, overlapping or touching ones joined.
bool ParsePageList(const std::string& text, std::vector<std::pair<long, long>>& ranges)
{
    ranges.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t dash = item.find('-');
        const std::string first = item.substr(0, dash);
        const std::string last = dash == std::string::npos ? first : item.substr(dash + 1);
        long a = 0, b = 0;
        if (!ParseNumber(first, 1, 2147483647L, a) || (!last.empty() && !ParseNumber(last, a, 2147483647L, b)))
            return false;
        ranges.emplace_back(a, b);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<long, long>> joined;
    for (const auto& range : ranges) {
        auto& previous = joined.empty() ? range : joined.back();
        if (!joined.empty() && (previous.second == 0 || range.first <= previous.second + 1)) {
            if (previous.second != 0 && (range.second == 0 || range.second > previous.second))
                joined.back().second = range.second;
        } else {
            joined.push_back(range);
        }
    }
    ranges = joined;
    return true;
}

/// The options that set a bound of the run, each a whole number, 0 for none.
struct Bound {
    const char* option;
    const char* needs;  // what the option needs, for the usage error
    const char* what;
    const char* unit;
    long long maximum;
    long long Options::*field;
};

const Bound* FindBound(const std::string& option)
{
    static const Bound kBounds[] = {
        {"--time-limit", "a number of seconds", "time limit", "whole seconds", 2147483647LL, &Options::timeLimit},
        {"--max-output-mb", "a number of megabytes", "output limit", "whole megabytes", 8796093022207LL,
         &Options::maxOutputMb},
        {"--max-memory-mb", "a number of megabytes", "memory bound", "whole megabytes", 8796093022207LL,
         &Options::maxMemoryMb},
        {"--max-pages", "a number of pages", "page bound", "whole pages", 2147483647LL, &Options::maxPages},
        {"--max-page-pixels", "a number of pixels", "page pixel bound", "whole pixels", 9223372036854775807LL,
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
                        : confinement == Quillet::RIP_CONFINEMENT_NONE ? "none for files and network"
                                                                        : "partial";
    std::printf("%s %s\nconfinement: %s (%s)\n", kProgram, QUILLET_VERSION, level, EncodeUtf8(how).c_str());
}

/// A variable of the environment as a whole number; false when it is unset.
bool EnvironmentNumber(const char* name, long long minimum, long long maximum, long long& value)
{
    const char* text = std::getenv(name);
    if (text == nullptr)
        return false;
    if (!ParseNumber(std::string(text), minimum, maximum, value))
        UsageError(std::string("invalid ") + name + " '" + text + "' (expected a whole number)");
    return true;
}

/// The share of a list that a batch array task renders: a Slurm array task
/// (whose IDs may start anywhere and step by more than 1) or a Kubernetes
/// Indexed Job's pod (whose index starts at 0 and whose count the job's
/// author passes in). Shares number from 1, as --shard's do.
void ShareFromEnvironment(Options& options)
{
    constexpr long long kMost = 1000000;
    long long id = 0, index = 0;
    if (EnvironmentNumber("SLURM_ARRAY_TASK_ID", 0, 2147483647LL, id)) {
        long long count = 0, minimum = 0, step = 1;
        if (!EnvironmentNumber("SLURM_ARRAY_TASK_COUNT", 1, kMost, count))
            UsageError("SLURM_ARRAY_TASK_ID is set but SLURM_ARRAY_TASK_COUNT is not; give --shard K/N");
        EnvironmentNumber("SLURM_ARRAY_TASK_MIN", 0, id, minimum);
        EnvironmentNumber("SLURM_ARRAY_TASK_STEP", 1, 2147483647LL, step);
        const long long share = (id - minimum) / step + 1;
        if ((id - minimum) % step != 0 || share > count)
            UsageError("the array task " + std::to_string(id) + " is not one of " + std::to_string(count) +
                       " tasks from " + std::to_string(minimum) + " by " + std::to_string(step) +
                       " (an array given as a list of IDs); give --shard K/N");
        options.shard = static_cast<long>(share);
        options.shards = static_cast<long>(count);
    } else if (EnvironmentNumber("JOB_COMPLETION_INDEX", 0, kMost - 1, index)) {
        long long count = 0;
        if (!EnvironmentNumber("QUILLET_SHARD_COUNT", 1, kMost, count))
            UsageError("JOB_COMPLETION_INDEX is set but QUILLET_SHARD_COUNT (the job's completions) is not; "
                       "give --shard K/N");
        if (index >= count)
            UsageError("JOB_COMPLETION_INDEX " + std::to_string(index) + " is not below QUILLET_SHARD_COUNT " +
                       std::to_string(count));
        options.shard = static_cast<long>(index + 1);
        options.shards = static_cast<long>(count);
    }
}

}  // namespace

bool IsSingleFileFormat(Quillet::RIPFormat format)
{
    return format == Quillet::RIP_IJS || format == Quillet::RIP_PSWRITE || format == Quillet::RIP_TIFFLZW_FILE;
}

void UsageError(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, Printable(message).c_str(), kProgram);
    std::exit(kExitUsage);
}

Options ParseCommandLine(int argc, char** argv)
{
    Options options;
    bool optionsEnded = false;
    bool resolutionGiven = false;
    bool singleFile = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options.names.push_back(arg);
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
            options.toStandardOutput = options.outputFolder == "-";
        } else if (name == "--name") {
            options.namePattern = value("a pattern");
        } else if (name == "--from-list") {
            options.fromList = value("a file");
        } else if (name == "-j" || name == "--jobs") {
            const std::string jobs = value("a number");
            if (!ParseNumber(jobs, 1, 1024, options.jobs))
                UsageError("invalid number of jobs '" + jobs + "' (1 to 1024)");
        } else if (name == "--shard") {
            const std::string shard = value("a share K/N");
            const std::size_t slash = shard.find('/');
            if (slash == std::string::npos || !ParseNumber(shard.substr(slash + 1), 1, 1000000, options.shards) ||
                !ParseNumber(shard.substr(0, slash), 1, options.shards, options.shard))
                UsageError("invalid share '" + shard + "' (expected K/N, 1 <= K <= N)");
        } else if (name == "--redo") {
            noValue();
            options.redo = true;
        } else if (name == "--json") {
            noValue();
            options.json = true;
        } else if (name == "-f" || name == "--format") {
            const std::string format = value("a format name");
            long number = -1;
            for (long k = 0; k < kNamedFormats; ++k)
                if (format == kDeviceNames[k])
                    number = k;
            for (const auto& familiar : kFamiliarNames)
                if (format == familiar.name)
                    number = familiar.format;
            if (number < 0 && !ParseNumber(format, 0, kFormatCount - 1, number))
                UsageError("unknown format '" + format + "'");
            options.format = static_cast<Quillet::RIPFormat>(number);
        } else if (name == "-r" || name == "--resolution") {
            const std::string dpi = value("a resolution");
            if (!ParseNumber(dpi, 1, 100000, options.resolution))
                UsageError("invalid resolution '" + dpi + "'");
            resolutionGiven = true;
        } else if (name == "-g" || name == "--page-size") {
            const std::string size = value("a size WxH");
            if (!ParseSize(size, options.pageWidth, options.pageHeight))
                UsageError("invalid page size '" + size + "' (expected WxH in pixels)");
        } else if (name == "--fit") {
            const std::string size = value("a size WxH");
            if (!ParseSize(size, options.fitWidth, options.fitHeight))
                UsageError("invalid box '" + size + "' (expected WxH in pixels)");
        } else if (name == "--single-file") {
            noValue();
            singleFile = true;
        } else if (name == "--no-anti-aliasing") {
            noValue();
            options.antiAliasing = false;
        } else if (name == "--jpeg-quality") {
            const std::string quality = value("a quality");
            if (!ParseNumber(quality, 1, 100, options.jpegQuality))
                UsageError("invalid JPEG quality '" + quality + "' (1 to 100)");
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
            const std::string pages = value("a page list");
            if (!ParsePageList(pages, options.pages))
                UsageError("invalid page list '" + pages + "' (expected e.g. 1,3,5-9 or 4-, pages from 1)");
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
    if (options.names.empty() && options.fromList.empty())
        UsageError("no document given");
    if (singleFile && options.format == Quillet::RIP_TIFFLZW)
        options.format = Quillet::RIP_TIFFLZW_FILE;
    else if (singleFile && !IsSingleFileFormat(options.format))
        UsageError("--single-file: only tiff writes its pages into one file (ps and pcl always do)");
    if (options.fitWidth > 0 && (resolutionGiven || options.pageWidth > 0))
        UsageError("--fit sets the resolution itself: give it without -r and -g");
    if (options.fitWidth > 0 && IsSingleFileFormat(options.format))
        UsageError("--fit scales page images, and single-file output has none");
    if (options.shards == 0 && !options.fromList.empty())
        ShareFromEnvironment(options);
    if (!options.namePattern.empty()) {
        const std::string why = PageNames::Check(options.namePattern, IsSingleFileFormat(options.format));
        if (!why.empty())
            UsageError(why);
    }
    return options;
}

}  // namespace Rip
