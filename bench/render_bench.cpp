// Ratio benchmark: one job rendered through the library (StartRIP and a
// GetPage loop), through the library with its children unconfined, and by
// Ghostscript alone with the same switches, alternating, several rounds.
// Reports the ratio of the median wall times (library / gs), the cost of
// confining Ghostscript (confined / unconfined library runs), the host
// process's own CPU time as a share of Ghostscript's, and the time to the
// first page as a share of the whole library run.
//
//   render_bench [--rounds N] [--dpi D] [--job FILE.ps] [--keep DIR]
#include <quillet/quillet.h>

#include "platform/Confinement.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Settings {
    int rounds = 7;
    int dpi = 150;
    std::string job = QUILLET_SOURCE_DIR "/data/bench20.ps";
    fs::path scratch;
};

struct Sample {
    double wall = 0;        // seconds
    double firstPage = 0;   // seconds from the start to the first page handed over
    double hostCpu = 0;     // this process, user + system
    double childCpu = 0;    // reaped children (Ghostscript), user + system
    int pages = 0;
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
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void EmptyFolder(const fs::path& folder)
{
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
}

/// The -dNumRenderingThreads value the library uses: NUMBER_OF_PROCESSORS
/// when set, else the online processors.
int ProcessorCount()
{
    if (const char* value = std::getenv("NUMBER_OF_PROCESSORS"))
        return std::atoi(value);
    return static_cast<int>(std::thread::hardware_concurrency());
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

Sample RunLibrary(const Settings& settings, const fs::path& folder, bool confined = true)
{
    EmptyFolder(folder);
    Quillet::Platform::SetConfinementEnabled(confined);
    Sample sample;
    const double hostBefore = CpuOf(RUSAGE_SELF);
    const double childBefore = CpuOf(RUSAGE_CHILDREN);
    const Clock::time_point start = Clock::now();

    Quillet::IRIPBase* rip = Quillet::CreateRIPService(Wide(settings.job));
    if (!rip) {
        std::fprintf(stderr, "render_bench: cannot create the service\n");
        std::exit(1);
    }
    rip->SetOutputFolder(Wide(folder.string()));
    rip->SetOutputFormat(Quillet::RIP_PNG16M);
    rip->SetResolution(settings.dpi);
    if (!rip->StartRIP()) {
        std::fprintf(stderr, "render_bench: the job did not start\n");
        std::exit(1);
    }
    Quillet::BitmapFile page;
    for (int n = 1; rip->GetPage(n, page); ++n) {
        if (n == 1)
            sample.firstPage = std::chrono::duration<double>(Clock::now() - start).count();
        sample.pages = n;
    }
    const bool good = rip->GetPageCount() >= 0;
    rip->Release();

    sample.wall = std::chrono::duration<double>(Clock::now() - start).count();
    sample.hostCpu = CpuOf(RUSAGE_SELF) - hostBefore;
    sample.childCpu = CpuOf(RUSAGE_CHILDREN) - childBefore;
    if (!good) {
        std::fprintf(stderr, "render_bench: rendering through the library failed\n");
        std::exit(1);
    }
    return sample;
}

Sample RunGhostscript(const Settings& settings, const fs::path& folder)
{
    EmptyFolder(folder);
    const std::string gsRoot = QUILLET_BUILD_TOOLDIR "/gs/";
    std::vector<std::string> args = {
        gsRoot + "bin/gs", "-dSAFER", "-dSTRICT", "-dTextAlphaBits=1", "-dGraphicsAlphaBits=2",
        "-r" + std::to_string(settings.dpi), "-sDEVICE=png16m"};
    const int threads = ProcessorCount();
    if (threads > 1)
        args.push_back("-dNumRenderingThreads=" + std::to_string(threads));
    args.insert(args.end(), {"-o", (folder / "gs_%03d.png").string(), "single_copy.ps", "-_"});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The environment plus GS_LIB, as the library gives it to its child.
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
    posix_spawn_file_actions_addopen(&actions, 0, settings.job.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    Sample sample;
    const double childBefore = CpuOf(RUSAGE_CHILDREN);
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "render_bench: cannot start %s: %s\n", argv[0], std::strerror(spawned));
        std::exit(1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    sample.wall = std::chrono::duration<double>(Clock::now() - start).count();
    sample.childCpu = CpuOf(RUSAGE_CHILDREN) - childBefore;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "render_bench: Ghostscript failed (status %d)\n", status);
        std::exit(1);
    }
    for (const auto& entry : fs::directory_iterator(folder))
        sample.pages += entry.path().extension() == ".png";
    return sample;
}

Settings ParseArguments(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--rounds" && hasValue)
            settings.rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--dpi" && hasValue)
            settings.dpi = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--job" && hasValue)
            settings.job = fs::absolute(argv[++i]).string();
        else if (arg == "--keep" && hasValue)
            settings.scratch = fs::absolute(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--dpi D] [--job FILE.ps] [--keep DIR]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return settings;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings = ParseArguments(argc, argv);
    const bool keep = !settings.scratch.empty();
    if (!keep)
        settings.scratch = fs::temp_directory_path() / ("quillet-bench-" + std::to_string(getpid()));
    const fs::path libFolder = settings.scratch / "library";
    const fs::path gsFolder = settings.scratch / "gs";

    std::printf("job %s, png16m at %d dpi, %d rounds, NumRenderingThreads %d\n",
                settings.job.c_str(), settings.dpi, settings.rounds, ProcessorCount());

    // One unmeasured run of each warms the caches (fonts, the binary).
    RunLibrary(settings, libFolder);
    RunGhostscript(settings, gsFolder);

    std::vector<double> libWall, gsWall, freeWall, firstShare;
    double hostCpu = 0, libChildCpu = 0, gsCpu = 0, freeChildCpu = 0;
    for (int round = 1; round <= settings.rounds; ++round) {
        const Sample lib = RunLibrary(settings, libFolder);
        const Sample free = RunLibrary(settings, libFolder, false);
        const Sample gs = RunGhostscript(settings, gsFolder);
        freeWall.push_back(free.wall);
        freeChildCpu += free.childCpu;
        if (lib.pages != gs.pages)
            std::fprintf(stderr, "render_bench: the library gave %d pages, Ghostscript wrote %d\n",
                         lib.pages, gs.pages);
        libWall.push_back(lib.wall);
        gsWall.push_back(gs.wall);
        firstShare.push_back(lib.firstPage / lib.wall);
        hostCpu += lib.hostCpu;
        libChildCpu += lib.childCpu;
        gsCpu += gs.childCpu;
        std::printf("round %d: library %.3f s (first page after %.3f s, host CPU %.3f s, gs CPU %.3f s),"
                    " unconfined %.3f s (gs CPU %.3f s), gs alone %.3f s (CPU %.3f s), %d pages\n",
                    round, lib.wall, lib.firstPage, lib.hostCpu, lib.childCpu, free.wall, free.childCpu,
                    gs.wall, gs.childCpu, lib.pages);
    }

    const double libMedian = Median(libWall), gsMedian = Median(gsWall);
    std::printf("\nmedian wall time: library %.3f s, Ghostscript alone %.3f s\n", libMedian, gsMedian);
    std::printf("ratio of medians (library / gs): %.3f\n", libMedian / gsMedian);
    std::printf("confinement: median %.3f s confined, %.3f s unconfined, ratio %.3f; Ghostscript CPU ratio %.3f\n",
                libMedian, Median(freeWall), libMedian / Median(freeWall),
                freeChildCpu > 0 ? libChildCpu / freeChildCpu : 0.0);
    std::printf("host CPU as a share of Ghostscript's CPU (library runs): %.2f%% (%.3f s / %.3f s)\n",
                libChildCpu > 0 ? 100 * hostCpu / libChildCpu : 0.0, hostCpu, libChildCpu);
    std::printf("Ghostscript CPU, library runs / alone: %.3f\n", gsCpu > 0 ? libChildCpu / gsCpu : 0.0);
    std::printf("time to the first page as a share of the run (median): %.1f%%\n",
                100 * Median(firstShare));

    if (!keep) {
        std::error_code ignored;
        fs::remove_all(settings.scratch, ignored);
    }
    return 0;
}
