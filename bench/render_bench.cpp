// Ratio benchmark, alternating in every round:
//  - a PostScript job and the same job as a PDF rendered by one Ghostscript
//    process alone (the switches the library gives one process), through
//    the library with one process (NUMBER_OF_PROCESSORS=1), and through the
//    library with a process per processor (as a host runs it), confined and
//    unconfined: wall time, CPU and time to the first page; then, in runs
//    of their own, the peak memory of the host and of its children (summed
//    over the children at once);
//  - a page range: page 1 of a 100-page PDF against all of it;
//  - PostScript written by ps2write from a PDF of pages in four sizes (it
//    sets the page device on every page), rendered like the job above, each
//    run's pages checked against those of the PDF it came from;
//  - the crossover: jobs of 1, 2, 3 and 5 of those pages (PostScript that
//    does not declare its page count, and PDF), one process against many;
//  - small PDFs of 1 to 8 of those pages at 72 and 150 dpi: Ghostscript
//    alone, one process, one per processor (sharing forced) and as a host
//    runs it (the library decides by the work) (--sweep-rounds rounds);
//  - the cost of the default bounds (time, bytes, memory, pages, page
//    pixels): the PostScript job and its PDF as a host runs them, with the
//    defaults and with every bound lifted (--bounds-only: this alone).
// Reports ratios of medians of the same run.
//
//   render_bench [--rounds N] [--sweep-rounds N] [--dpi D] [--job FILE.ps] [--keep DIR] [--bounds-only]
#include <quillet/quillet.h>

#include "platform/Confinement.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Settings {
    int rounds = 7;
    int sweepRounds = 5;
    int dpi = 150;
    std::string job = QUILLET_SOURCE_DIR "/data/bench20.ps";
    fs::path scratch;
    bool boundsOnly = false;
};

struct Sample {
    double wall = 0;        // seconds
    double firstPage = 0;   // seconds from the start to the first page handed over
    double hostCpu = 0;     // this process, user + system
    double childCpu = 0;    // reaped children (Ghostscript), user + system
    double hostPeakMb = 0;  // this process's largest resident size during the run
    double childPeakMb = 0; // the largest sum of the children's resident sizes
    int pages = 0;
    std::string pageSizes;  // each page's width x height in pixels, in page order
};

/// How a library run is made.
struct RunKind {
    const char* processes;  // NUMBER_OF_PROCESSORS for the run; null: the machine's
    bool confined = true;
    int firstPage = 0;      // page range, (0, 0): every page
    int lastPage = 0;
    bool sampleMemory = false;  // sample resident sizes (runs kept out of the time figures)
    const char* sharing = nullptr;  // QUILLET_SHARING for the run; null: the work decides
    bool unbounded = false;  // every bound lifted; else the library's defaults
};

double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

double CpuOf(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void EmptyFolder(const fs::path& folder)
{
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
}

/// NUMBER_OF_PROCESSORS when set, else the online processors: the library's count.
int ProcessorCount()
{
    if (const char* value = std::getenv("NUMBER_OF_PROCESSORS"))
        return std::atoi(value);
    return static_cast<int>(std::thread::hardware_concurrency());
}

/// The machine's load average over the last minute: others' work on a
/// shared machine weighs on two processes more than on one.
double Load()
{
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    return load[0];
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

/// "WxH " for each PNG page in turn, read from its header: pages that come
/// out in another order or size than Ghostscript alone's show as a change.
std::string PageSizes(const std::vector<std::string>& paths)
{
    std::string sizes;
    for (const std::string& path : paths) {
        unsigned char header[24] = {};
        std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(header), sizeof header);
        const auto word = [&](int at) {
            return std::to_string(header[at] << 24 | header[at + 1] << 16 | header[at + 2] << 8 | header[at + 3]);
        };
        sizes += word(16) + "x" + word(20) + " ";
    }
    return sizes;
}

/// Resident kilobytes of process pid ("self" for this one), 0 when gone.
long ResidentKb(const std::string& pid)
{
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

/// Samples this process's and its children's resident sizes every 5 ms
/// while it lives; keeps the peaks.
class MemorySampler {
public:
    MemorySampler() : thread([this] { Sample(); }) {}
    ~MemorySampler() { Stop(); }
    void Stop()
    {
        running = false;
        if (thread.joinable())
            thread.join();
    }
    double HostPeakMb() const { return hostPeak / 1024.0; }
    double ChildPeakMb() const { return childPeak / 1024.0; }

private:
    void Sample()
    {
        while (running) {
            hostPeak = std::max(hostPeak, ResidentKb("self"));
            long children = 0;
            for (const auto& task : fs::directory_iterator("/proc/self/task")) {
                std::ifstream list(task.path() / "children");
                for (std::string pid; list >> pid;)
                    children += ResidentKb(pid);
            }
            childPeak = std::max(childPeak, children);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::atomic<bool> running{true};
    long hostPeak = 0;
    long childPeak = 0;
    std::thread thread;
};

Sample RunLibrary(const Settings& settings, const std::string& document, const fs::path& folder,
                  const RunKind& kind)
{
    EmptyFolder(folder);
    Quillet::Platform::SetConfinementEnabled(kind.confined);
    if (kind.processes)
        ::setenv("NUMBER_OF_PROCESSORS", kind.processes, 1);
    else
        ::unsetenv("NUMBER_OF_PROCESSORS");
    if (kind.sharing)
        ::setenv("QUILLET_SHARING", kind.sharing, 1);
    Sample sample;
    const double hostBefore = CpuOf(RUSAGE_SELF);
    const double childBefore = CpuOf(RUSAGE_CHILDREN);
    // The sampler reads /proc every 5 ms: its CPU would weigh on the
    // run's time, so only runs kept for the memory figures have one.
    std::optional<MemorySampler> memory;
    if (kind.sampleMemory)
        memory.emplace();
    const Clock::time_point start = Clock::now();

    Quillet::IRIPBase* rip = Quillet::CreateRIPService(Wide(document));
    if (!rip) {
        std::fprintf(stderr, "render_bench: cannot create the service\n");
        std::exit(1);
    }
    rip->SetOutputFolder(Wide(folder.string()));
    rip->SetOutputFormat(Quillet::RIP_PNG16M);
    rip->SetResolution(settings.dpi);
    rip->SetPageRange(kind.firstPage, kind.lastPage);
    if (kind.unbounded) {
        rip->SetTimeLimit(0);
        rip->SetMaxOutputBytes(0);
        rip->SetMaxMemoryBytes(0);
        rip->SetMaxPages(0);
        rip->SetMaxPagePixels(0);
    }
    if (!rip->StartRIP()) {
        std::fprintf(stderr, "render_bench: the job did not start\n");
        std::exit(1);
    }
    Quillet::BitmapFile page;
    std::vector<std::string> paths;
    for (int n = std::max(1, kind.firstPage); rip->GetPage(n, page); ++n) {
        if (sample.pages == 0)
            sample.firstPage = std::chrono::duration<double>(Clock::now() - start).count();
        ++sample.pages;
        paths.emplace_back(page.GetFilePath().begin(), page.GetFilePath().end());
    }
    const bool good = rip->GetPageCount() >= 0;
    rip->Release();

    sample.wall = std::chrono::duration<double>(Clock::now() - start).count();
    sample.hostCpu = CpuOf(RUSAGE_SELF) - hostBefore;
    sample.childCpu = CpuOf(RUSAGE_CHILDREN) - childBefore;
    if (memory) {
        memory->Stop();
        sample.hostPeakMb = memory->HostPeakMb();
        sample.childPeakMb = memory->ChildPeakMb();
    }
    sample.pageSizes = PageSizes(paths);
    ::unsetenv("NUMBER_OF_PROCESSORS");
    ::unsetenv("QUILLET_SHARING");
    if (!good) {
        std::fprintf(stderr, "render_bench: rendering %s through the library failed\n", document.c_str());
        std::exit(1);
    }
    return sample;
}

/// Runs argv (environment plus GS_LIB), standard input from input (empty:
/// none); exits on failure.
void Spawn(std::vector<std::string> args, const std::string& input)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string gsRoot = QUILLET_BUILD_TOOLDIR "/gs/";
    std::vector<std::string> envText = {"GS_LIB=" + gsRoot + "lib"};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "GS_LIB=", 7) != 0)
            envText.push_back(*e);
    std::vector<char*> envp;
    for (std::string& entry : envText)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "render_bench: cannot start %s: %s\n", argv[0], std::strerror(spawned));
        std::exit(1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "render_bench: %s failed (status %d)\n", argv[0], status);
        std::exit(1);
    }
}

/// One Ghostscript process with the switches the library gives one process:
/// a PostScript job on its input after single_copy.ps, a PDF by its path.
Sample RunGhostscript(const Settings& settings, const std::string& document, const fs::path& folder)
{
    EmptyFolder(folder);
    const bool pdf = document.size() > 4 && document.compare(document.size() - 4, 4, ".pdf") == 0;
    std::vector<std::string> args = {
        QUILLET_BUILD_TOOLDIR "/gs/bin/gs", "-dSAFER", "-dSTRICT", "-dTextAlphaBits=1", "-dGraphicsAlphaBits=2",
        "-r" + std::to_string(settings.dpi), "-sDEVICE=png16m"};
    const int threads = ProcessorCount();
    if (threads > 1)
        args.push_back("-dNumRenderingThreads=" + std::to_string(threads));
    args.insert(args.end(), {"-o", (folder / "gs_%03d.png").string(), "single_copy.ps", "-_"});
    if (pdf)
        args.push_back("-f" + document);

    Sample sample;
    const double childBefore = CpuOf(RUSAGE_CHILDREN);
    const Clock::time_point start = Clock::now();
    Spawn(args, pdf ? std::string() : document);
    sample.wall = std::chrono::duration<double>(Clock::now() - start).count();
    sample.childCpu = CpuOf(RUSAGE_CHILDREN) - childBefore;
    std::vector<std::string> paths;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".png")
            paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    sample.pages = static_cast<int>(paths.size());
    sample.pageSizes = PageSizes(paths);
    return sample;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The job with its page loop made pages long (bench20.ps draws its pages
/// in one loop "1 1 20 {"); declared: with its "%%Pages:" comment, else
/// without one.
std::string Lengthen(const std::string& job, int pages, bool declared = true)
{
    std::string body = ReadText(job);
    const std::string count = std::to_string(pages);
    for (const std::string from : {"1 1 20 {", "%%Pages: 20\n", "( of 20)"}) {
        const std::size_t at = body.find(from);
        if (at != std::string::npos)
            body.replace(at, from.size(),
                         from[0] == '1' ? "1 1 " + count + " {"
                         : from[0] == '%' ? (declared ? "%%Pages: " + count + "\n" : std::string())
                                          : "( of " + count + ")");
    }
    return body;
}

/// The job with pages of four sizes in turn (Letter, A4 landscape, A5, A4),
/// each page drawn to its own width and height, so that a PDF made of it
/// holds each size.
std::string MixSizes(const std::string& job)
{
    std::string body = ReadText(job);
    const std::string loop = "1 1 20 { /n exch def";
    const std::size_t at = body.find(loop);
    if (at != std::string::npos)
        body.insert(at + loop.size(), " /S [[595 842] [612 792] [842 595] [420 595]] n 4 mod get def"
                                      " << /PageSize S >> setpagedevice /W S 0 get def /H S 1 get def");
    return body;
}

/// The document from written as to by Ghostscript's device (pdfwrite,
/// ps2write).
void Convert(const std::string& device, const std::string& from, const std::string& to)
{
    Spawn({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=" + device, "-o", to, from}, std::string());
}

/// The first pages of the job as PostScript that does not declare its page
/// count, and as its PDF: {ps, pdf}.
std::pair<std::string, std::string> ShortJob(const Settings& settings, int pages)
{
    const std::string stem = (settings.scratch / ("short" + std::to_string(pages))).string();
    std::ofstream(stem + ".ps") << Lengthen(settings.job, pages, false);
    Convert("pdfwrite", stem + ".ps", stem + ".pdf");
    return {stem + ".ps", stem + ".pdf"};
}

Settings ParseArguments(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--rounds" && hasValue)
            settings.rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--sweep-rounds" && hasValue)
            settings.sweepRounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--dpi" && hasValue)
            settings.dpi = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--job" && hasValue)
            settings.job = fs::absolute(argv[++i]).string();
        else if (arg == "--keep" && hasValue)
            settings.scratch = fs::absolute(argv[++i]);
        else if (arg == "--bounds-only")
            settings.boundsOnly = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--rounds N] [--sweep-rounds N] [--dpi D] [--job FILE.ps] [--keep DIR]"
                         " [--bounds-only]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return settings;
}

/// The samples of one way of rendering one document.
struct Series {
    std::vector<double> wall, first, firstShare, hostPeak, childPeak;
    double hostCpu = 0, childCpu = 0;
    int pages = 0;
    int differ = 0;  // runs whose pages differ from the reference's in count, order or size
    void Add(const Sample& sample, const Sample* reference = nullptr)
    {
        differ += reference && sample.pageSizes != reference->pageSizes;
        wall.push_back(sample.wall);
        first.push_back(sample.firstPage);
        firstShare.push_back(sample.wall > 0 ? sample.firstPage / sample.wall : 0);
        hostPeak.push_back(sample.hostPeakMb);
        childPeak.push_back(sample.childPeakMb);
        hostCpu += sample.hostCpu;
        childCpu += sample.childCpu;
        pages = sample.pages;
    }
};

void Report(const char* what, const Series& gs, const Series& one, const Series& many, const Series& free,
            const Series& oneMemory, const Series& manyMemory)
{
    const double base = Median(gs.wall);
    std::printf("\n%s (%d pages):\n", what, many.pages);
    std::printf("  Ghostscript alone, one process:   %.3f s\n", base);
    std::printf("  library, one process:              %.3f s  (%.3f of Ghostscript alone)\n", Median(one.wall),
                Median(one.wall) / base);
    std::printf("  library, %d processes:              %.3f s  (%.3f of Ghostscript alone, %.3f of one process)\n",
                ProcessorCount(), Median(many.wall), Median(many.wall) / base, Median(many.wall) / Median(one.wall));
    std::printf("  library, %d processes unconfined:   %.3f s  (confined / unconfined %.3f; Ghostscript CPU %.3f)\n",
                ProcessorCount(), Median(free.wall), Median(many.wall) / Median(free.wall),
                free.childCpu > 0 ? many.childCpu / free.childCpu : 0.0);
    std::printf("  time to the first page: one process %.3f s (%.1f%% of the run), %d processes %.3f s (%.1f%%)\n",
                Median(one.first), 100 * Median(one.firstShare), ProcessorCount(), Median(many.first),
                100 * Median(many.firstShare));
    std::printf("  Ghostscript CPU: alone %.3f s, one process %.3f s, %d processes %.3f s (per run)\n",
                gs.childCpu / gs.wall.size(), one.childCpu / one.wall.size(), ProcessorCount(),
                many.childCpu / many.wall.size());
    std::printf("  host CPU as a share of Ghostscript's: one process %.2f%%, %d processes %.2f%%\n",
                one.childCpu > 0 ? 100 * one.hostCpu / one.childCpu : 0.0, ProcessorCount(),
                many.childCpu > 0 ? 100 * many.hostCpu / many.childCpu : 0.0);
    std::printf("  peak memory (median of %zu runs of each): host %.1f MB / %.1f MB, children together %.1f MB /"
                " %.1f MB (one process / %d processes)\n",
                oneMemory.wall.size(), Median(oneMemory.hostPeak), Median(manyMemory.hostPeak),
                Median(oneMemory.childPeak), Median(manyMemory.childPeak), ProcessorCount());
}

/// The ps2write job's figures, as rows of the README's tables; reference:
/// the library's one-process run of the PDF the job was written from.
void ReportRewritten(const Series& gs, const Series& one, const Series& many, const Sample& reference)
{
    const double base = Median(gs.wall), single = Median(one.wall), shared = Median(many.wall);
    const int processors = ProcessorCount();
    const std::size_t rounds = gs.wall.size();
    std::printf("\nPostScript written by ps2write from a PDF of %d pages in four sizes (a setpagedevice on every"
                " page), median of %zu rounds:\n",
                reference.pages, rounds);
    std::printf("| wall time, library with one process / Ghostscript alone | %.3f (%.3f s / %.3f s) |\n",
                single / base, single, base);
    std::printf("| wall time, %d processes / Ghostscript alone | %.3f (%.3f s / %.3f s) |\n", processors,
                shared / base, shared, base);
    std::printf("| wall time, %d processes / the library with one process | %.3f |\n", processors, shared / single);
    std::printf("| Ghostscript's CPU per run: alone, one process, %d processes | %.3f s, %.3f s, %.3f s |\n",
                processors, gs.childCpu / rounds, one.childCpu / rounds, many.childCpu / rounds);
    std::printf("| runs with all %d pages, in order and each in its size: Ghostscript alone, one process, %d"
                " processes | %zu, %zu, %zu of %zu |\n",
                reference.pages, processors, rounds - gs.differ, rounds - one.differ, rounds - many.differ,
                rounds);
}

/// Small PDFs at 72 and 150 dpi, every way in every round, each page count
/// and resolution in turn: where a second process begins to pay, and what
/// either way costs beside Ghostscript alone. Prints a table of medians.
void Sweep(const Settings& settings, const fs::path& libFolder, const fs::path& gsFolder)
{
    struct Cell {
        int pages, dpi;
        std::string pdf;
        Series gs, one, shared, chosen;
    };
    std::vector<Cell> cells;
    for (int pages = 1; pages <= 8; ++pages) {
        const std::string pdf = ShortJob(settings, pages).second;
        for (const int dpi : {72, 150})
            cells.push_back({pages, dpi, pdf, {}, {}, {}, {}});
    }
    // Shared by the page count alone, and as a host runs it (the library
    // decides by the work).
    const RunKind one{"1"}, shared{nullptr, true, 0, 0, false, "always"}, chosen{nullptr};
    const double loadBefore = Load();
    for (int round = 1; round <= settings.sweepRounds; ++round)
        for (Cell& cell : cells) {
            Settings at = settings;
            at.dpi = cell.dpi;
            const Sample base = RunGhostscript(at, cell.pdf, gsFolder);
            cell.gs.Add(base);
            cell.one.Add(RunLibrary(at, cell.pdf, libFolder, one), &base);
            cell.shared.Add(RunLibrary(at, cell.pdf, libFolder, shared), &base);
            cell.chosen.Add(RunLibrary(at, cell.pdf, libFolder, chosen), &base);
            cell.gs.differ += base.pages != cell.pages;
        }

    const int n = ProcessorCount();
    std::printf("\nsmall PDFs of A4 pages, png16m, wall time (median of %d rounds; load %.2f before, %.2f after):\n",
                settings.sweepRounds, loadBefore, Load());
    std::printf("| pages | dpi | Ghostscript alone | library: one process | %d processes | as a host runs it |"
                " %d processes / one | as run / one | one / Ghostscript alone | as run / Ghostscript alone |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n",
                n, n);
    int wrong = 0;
    for (const Cell& cell : cells) {
        const double base = Median(cell.gs.wall), single = Median(cell.one.wall);
        const double both = Median(cell.shared.wall), run = Median(cell.chosen.wall);
        std::printf("| %d | %d | %.3f s | %.3f s | %.3f s | %.3f s | %.3f | %.3f | %.3f | %.3f |\n", cell.pages,
                    cell.dpi, base, single, both, run, both / single, run / single, single / base, run / base);
        wrong += cell.gs.differ + cell.one.differ + cell.shared.differ + cell.chosen.differ;
    }
    std::printf("runs short of pages or whose pages differ from Ghostscript alone's: %d of %zu\n", wrong,
                4 * cells.size() * settings.sweepRounds);
}

/// The default bounds against none, as a host runs the PostScript job and
/// its PDF, alternating in every round: wall time, Ghostscript's CPU and
/// the host's (which counts the bytes written while a run goes on).
void CompareBounds(const Settings& settings, const std::string& pdf, const fs::path& libFolder)
{
    const RunKind bounded{nullptr}, unbounded{nullptr, true, 0, 0, false, nullptr, true};
    Series psBounded, psUnbounded, pdfBounded, pdfUnbounded;
    const double loadBefore = Load();
    for (int round = 1; round <= settings.rounds; ++round) {
        // Which goes first changes from round to round.
        const bool boundedFirst = round % 2 == 1;
        for (int turn = 0; turn < 2; ++turn) {
            const bool withBounds = (turn == 0) == boundedFirst;
            (withBounds ? psBounded : psUnbounded)
                .Add(RunLibrary(settings, settings.job, libFolder, withBounds ? bounded : unbounded));
        }
        for (int turn = 0; turn < 2; ++turn) {
            const bool withBounds = (turn == 0) == boundedFirst;
            (withBounds ? pdfBounded : pdfUnbounded)
                .Add(RunLibrary(settings, pdf, libFolder, withBounds ? bounded : unbounded));
        }
    }
    std::printf("\ndefault bounds / every bound lifted, %d processes (median of %d rounds; load %.2f before, %.2f"
                " after):\n| measure | PostScript job | PDF |\n|---|---|---|\n",
                ProcessorCount(), settings.rounds, loadBefore, Load());
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("| wall time | %.3f (%.3f s / %.3f s) | %.3f (%.3f s / %.3f s) |\n",
                ratio(Median(psBounded.wall), Median(psUnbounded.wall)), Median(psBounded.wall),
                Median(psUnbounded.wall), ratio(Median(pdfBounded.wall), Median(pdfUnbounded.wall)),
                Median(pdfBounded.wall), Median(pdfUnbounded.wall));
    std::printf("| Ghostscript's CPU | %.3f | %.3f |\n", ratio(psBounded.childCpu, psUnbounded.childCpu),
                ratio(pdfBounded.childCpu, pdfUnbounded.childCpu));
    std::printf("| host CPU per run | %.1f ms / %.1f ms | %.1f ms / %.1f ms |\n",
                1000 * psBounded.hostCpu / settings.rounds, 1000 * psUnbounded.hostCpu / settings.rounds,
                1000 * pdfBounded.hostCpu / settings.rounds, 1000 * pdfUnbounded.hostCpu / settings.rounds);
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings = ParseArguments(argc, argv);
    const bool keep = !settings.scratch.empty();
    if (!keep)
        settings.scratch = fs::temp_directory_path() / ("quillet-bench-" + std::to_string(getpid()));
    fs::create_directories(settings.scratch);
    const fs::path libFolder = settings.scratch / "library";
    const fs::path gsFolder = settings.scratch / "gs";
    const std::string pdf = (settings.scratch / "job.pdf").string();
    const std::string longPs = (settings.scratch / "long.ps").string();
    const std::string longPdf = (settings.scratch / "long.pdf").string();
    const std::string mixedPs = (settings.scratch / "mixed.ps").string();
    const std::string mixedPdf = (settings.scratch / "mixed.pdf").string();
    const std::string rewritten = (settings.scratch / "rewritten.ps").string();
    Convert("pdfwrite", settings.job, pdf);
    if (settings.boundsOnly) {
        RunLibrary(settings, settings.job, libFolder, RunKind{nullptr});  // warms the caches
        CompareBounds(settings, pdf, libFolder);
        if (!keep)
            fs::remove_all(settings.scratch);
        return 0;
    }
    std::ofstream(longPs) << Lengthen(settings.job, 100);
    Convert("pdfwrite", longPs, longPdf);
    std::ofstream(mixedPs) << MixSizes(settings.job);
    Convert("pdfwrite", mixedPs, mixedPdf);
    Convert("ps2write", mixedPdf, rewritten);

    std::printf("job %s and its PDF, png16m at %d dpi, %d rounds, %d processors\n", settings.job.c_str(),
                settings.dpi, settings.rounds, ProcessorCount());

    const RunKind one{"1"}, many{nullptr}, unconfined{nullptr, false};
    const RunKind firstOnly{nullptr, true, 1, 1};
    const RunKind oneMemory{"1", true, 0, 0, true}, manyMemory{nullptr, true, 0, 0, true};
    // One unmeasured run of each warms the caches (fonts, the binary).
    RunLibrary(settings, settings.job, libFolder, many);
    RunGhostscript(settings, settings.job, gsFolder);
    RunLibrary(settings, pdf, libFolder, many);
    // The pages the rewritten job must give: those of its PDF.
    const Sample mixedPages = RunLibrary(settings, mixedPdf, libFolder, one);

    Series psGs, psOne, psMany, psFree, pdfGs, pdfOne, pdfMany, pdfFree, longAll, longFirst;
    Series rewrittenGs, rewrittenOne, rewrittenMany;
    for (int round = 1; round <= settings.rounds; ++round) {
        psGs.Add(RunGhostscript(settings, settings.job, gsFolder));
        psOne.Add(RunLibrary(settings, settings.job, libFolder, one));
        psMany.Add(RunLibrary(settings, settings.job, libFolder, many));
        psFree.Add(RunLibrary(settings, settings.job, libFolder, unconfined));
        pdfGs.Add(RunGhostscript(settings, pdf, gsFolder));
        pdfOne.Add(RunLibrary(settings, pdf, libFolder, one));
        pdfMany.Add(RunLibrary(settings, pdf, libFolder, many));
        pdfFree.Add(RunLibrary(settings, pdf, libFolder, unconfined));
        longFirst.Add(RunLibrary(settings, longPdf, libFolder, firstOnly));
        longAll.Add(RunLibrary(settings, longPdf, libFolder, many));
        rewrittenGs.Add(RunGhostscript(settings, rewritten, gsFolder), &mixedPages);
        rewrittenOne.Add(RunLibrary(settings, rewritten, libFolder, one), &mixedPages);
        rewrittenMany.Add(RunLibrary(settings, rewritten, libFolder, many), &mixedPages);
        std::printf("round %d: PostScript gs %.3f s, one %.3f s, many %.3f s; PDF gs %.3f s, one %.3f s, many"
                    " %.3f s; 100-page PDF page 1 %.3f s, all %.3f s; ps2write gs %.3f s, one %.3f s, many %.3f s"
                    " (%d pages); load %.2f\n",
                    round, psGs.wall.back(), psOne.wall.back(), psMany.wall.back(), pdfGs.wall.back(),
                    pdfOne.wall.back(), pdfMany.wall.back(), longFirst.wall.back(), longAll.wall.back(),
                    rewrittenGs.wall.back(), rewrittenOne.wall.back(), rewrittenMany.wall.back(),
                    rewrittenMany.pages, Load());
        if (psGs.pages != psMany.pages || pdfGs.pages != pdfMany.pages || longFirst.pages != 1)
            std::fprintf(stderr, "render_bench: page counts differ (PostScript %d / %d, PDF %d / %d, range %d)\n",
                         psGs.pages, psMany.pages, pdfGs.pages, pdfMany.pages, longFirst.pages);
    }

    // The peaks, from runs of their own.
    Series psOneMemory, psManyMemory, pdfOneMemory, pdfManyMemory;
    for (int round = 1; round <= 3; ++round) {
        psOneMemory.Add(RunLibrary(settings, settings.job, libFolder, oneMemory));
        psManyMemory.Add(RunLibrary(settings, settings.job, libFolder, manyMemory));
        pdfOneMemory.Add(RunLibrary(settings, pdf, libFolder, oneMemory));
        pdfManyMemory.Add(RunLibrary(settings, pdf, libFolder, manyMemory));
    }

    Report("PostScript job", psGs, psOne, psMany, psFree, psOneMemory, psManyMemory);
    Report("PDF", pdfGs, pdfOne, pdfMany, pdfFree, pdfOneMemory, pdfManyMemory);
    std::printf("\npage range: page 1 of the 100-page PDF %.3f s, all %d pages %.3f s: %.3f\n", Median(longFirst.wall),
                longAll.pages, Median(longAll.wall), Median(longFirst.wall) / Median(longAll.wall));
    ReportRewritten(rewrittenGs, rewrittenOne, rewrittenMany, mixedPages);

    // Short jobs: what sharing costs or gains when there is little to share.
    std::printf("\ncrossover (median of %d rounds, one process / %d processes):\n", settings.rounds,
                ProcessorCount());
    for (const int pages : {1, 2, 3, 5}) {
        const auto [shortPs, shortPdf] = ShortJob(settings, pages);
        Series psShortOne, psShortMany, pdfShortOne, pdfShortMany;
        for (int round = 1; round <= settings.rounds; ++round) {
            psShortOne.Add(RunLibrary(settings, shortPs, libFolder, one));
            psShortMany.Add(RunLibrary(settings, shortPs, libFolder, many));
            pdfShortOne.Add(RunLibrary(settings, shortPdf, libFolder, one));
            pdfShortMany.Add(RunLibrary(settings, shortPdf, libFolder, many));
        }
        std::printf("  %d page%s: PostScript (no page count declared) %.3f s / %.3f s (%.3f), PDF %.3f s / %.3f s"
                    " (%.3f)\n",
                    pages, pages == 1 ? "" : "s", Median(psShortOne.wall), Median(psShortMany.wall),
                    Median(psShortMany.wall) / Median(psShortOne.wall), Median(pdfShortOne.wall),
                    Median(pdfShortMany.wall), Median(pdfShortMany.wall) / Median(pdfShortOne.wall));
    }

    Sweep(settings, libFolder, gsFolder);
    CompareBounds(settings, pdf, libFolder);

    if (!keep) {
        std::error_code ignored;
        fs::remove_all(settings.scratch, ignored);
    }
    return 0;
}
