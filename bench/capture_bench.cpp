// Ratio benchmark of documents that need no printing: for each kind, the wall
// time from StartRIP to the last page handed over, beside the peer pipeline
// measured in the same run: LibreOffice's own PDF export (soffice
// --convert-to pdf) followed by Ghostscript on that PDF for an office
// document, Ghostscript alone for a PDF. Cold: the first document of a fresh
// host process (no office process running yet), against LibreOffice on a
// fresh profile. Warm: later documents (the office process running), against
// LibreOffice on a profile it has set up before. Also two office documents
// at once against one alone, beside two Ghostscripts at once against one.
// No print server is used (CUPS_SERVER points nowhere).
//
// Then what proving the office process clean costs: warm .docx and .pptx in
// host processes of their own, alternately with QUILLET_OFFICE_REUSE=always
// (a process serves every document, as before the proof) and without; and a
// warm .docx right after a document that embeds a font (its process is
// replaced, the successor started ahead), at once and after a pause.
//
//   capture_bench [--rounds N] [--dpi D]
//   capture_bench --warm DOCUMENT ROUNDS [OTHER PAUSE_MS]   (one host's warm median)
#include <quillet/quillet.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
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

int rounds = 5;
int dpi = 100;
fs::path scratch;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void EmptyFolder(const fs::path& folder)
{
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
}

/// Runs args (looked up in PATH) with its output discarded; exits on failure.
/// stdoutFile, when given, receives its standard output.
void Run(std::vector<std::string> args, const std::string& stdoutFile = "/dev/null")
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    while (spawned == 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "capture_bench: %s failed\n", args[0].c_str());
        std::exit(1);
    }
}

/// Ghostscript alone on pdf, with the switches the library gives it.
void RunGhostscript(const fs::path& pdf, const fs::path& folder)
{
    std::vector<std::string> args = {"gs", "-q", "-dSAFER", "-dSTRICT", "-dTextAlphaBits=1",
                                     "-dGraphicsAlphaBits=2", "-r" + std::to_string(dpi), "-sDEVICE=png16m"};
    const unsigned threads = std::thread::hardware_concurrency();
    if (threads > 1)
        args.push_back("-dNumRenderingThreads=" + std::to_string(threads));
    args.insert(args.end(), {"-o", (folder / "gs_%03d.png").string(), pdf.string()});
    Run(args);
}

/// The peer pipeline: LibreOffice's export with profile, then Ghostscript.
double RunPeer(const fs::path& document, const fs::path& profile, const fs::path& folder)
{
    EmptyFolder(folder);
    const Clock::time_point start = Clock::now();
    Run({"soffice", "-env:UserInstallation=file://" + profile.string(), "--headless", "--convert-to", "pdf",
         "--outdir", folder.string(), document.string()});
    RunGhostscript(folder / (document.stem().string() + ".pdf"), folder);
    return Since(start);
}

double RunGhostscriptAlone(const fs::path& pdf, const fs::path& folder)
{
    EmptyFolder(folder);
    const Clock::time_point start = Clock::now();
    RunGhostscript(pdf, folder);
    return Since(start);
}

/// The library: StartRIP to the last page. pages gets the page count.
double RunLibrary(const fs::path& document, const fs::path& folder, int& pages)
{
    EmptyFolder(folder);
    const Clock::time_point start = Clock::now();
    const std::string path = document.string();
    Quillet::IRIPBase* rip = Quillet::CreateRIPService(std::wstring(path.begin(), path.end()));
    const std::string out = folder.string();
    rip->SetOutputFolder(std::wstring(out.begin(), out.end()));
    rip->SetOutputFormat(Quillet::RIP_PNG16M);
    rip->SetResolution(dpi);
    pages = 0;
    if (rip->StartRIP()) {
        Quillet::BitmapFile page;
        while (rip->GetPage(pages + 1, page))
            ++pages;
    }
    const double seconds = Since(start);
    Quillet::RIPFailure failure;
    if (pages == 0 || Quillet::GetRIPStatus(rip)->GetLastFailure(failure)) {
        std::fprintf(stderr, "capture_bench: %s failed: %ls\n", path.c_str(), failure.reason.c_str());
        std::exit(1);
    }
    rip->Release();
    return seconds;
}

/// The figure a run of this program printed into result.
double ReadFigure(const fs::path& result)
{
    FILE* in = std::fopen(result.c_str(), "r");
    double seconds = 0;
    if (in == nullptr || std::fscanf(in, "%lf", &seconds) != 1) {
        std::fprintf(stderr, "capture_bench: a run of its own said nothing\n");
        std::exit(1);
    }
    std::fclose(in);
    return seconds;
}

/// In this process, a host of its own: document once unmeasured, then rounds
/// times, each after other (unmeasured) and a pause when given; the median.
double WarmMedian(const fs::path& document, int count, const char* other, int pauseMs)
{
    int pages = 0;
    RunLibrary(document, scratch / "warm", pages);
    std::vector<double> times;
    for (int round = 0; round < count; ++round) {
        if (other != nullptr) {
            RunLibrary(other, scratch / "other", pages);
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
        times.push_back(RunLibrary(document, scratch / "warm", pages));
    }
    return Median(times);
}

/// WarmMedian in a fresh process of this program, with environment before
/// its command line (an "env" argument list, or none).
double RunWarmHost(const char* self, std::vector<std::string> environment, const fs::path& document,
                   const std::string& other = std::string(), int pauseMs = 0)
{
    std::vector<std::string> args;
    if (!environment.empty()) {
        args.push_back("env");
        args.insert(args.end(), environment.begin(), environment.end());
    }
    args.insert(args.end(), {self, "--warm", document.string(), std::to_string(rounds)});
    if (!other.empty())
        args.insert(args.end(), {other, std::to_string(pauseMs)});
    const fs::path result = scratch / "warm.txt";
    Run(args, result.string());
    return ReadFigure(result);
}

/// The library in a fresh process of this program: a cold start.
double RunLibraryCold(const char* self, const fs::path& document, const fs::path& folder)
{
    const fs::path result = scratch / "cold.txt";
    Run({self, "--render", document.string(), folder.string()}, result.string());
    return ReadFigure(result);
}

struct Kind {
    const char* name;
    fs::path document;
    bool office;
};

}  // namespace

int main(int argc, char** argv)
{
    // Nothing here may need a print server.
    ::setenv("CUPS_SERVER", "/nonexistent/cups.sock", 1);
    if (argc == 4 && std::strcmp(argv[1], "--render") == 0) {
        int pages = 0;
        std::printf("%.6f\n", RunLibrary(argv[2], argv[3], pages));
        return 0;
    }
    if ((argc == 4 || argc == 6) && std::strcmp(argv[1], "--warm") == 0) {
        scratch = fs::temp_directory_path() / ("quillet-capture-bench-" + std::to_string(getpid()));
        fs::create_directories(scratch);
        const double median =
            WarmMedian(argv[2], std::max(1, std::atoi(argv[3])), argc == 6 ? argv[4] : nullptr,
                       argc == 6 ? std::atoi(argv[5]) : 0);
        std::error_code ignored;
        fs::remove_all(scratch, ignored);
        std::printf("%.6f\n", median);
        return 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--dpi") == 0)
            dpi = std::max(1, std::atoi(argv[i + 1]));
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: %s [--rounds N] [--dpi D]\n", argv[0]);
        return 2;
    }
    scratch = fs::temp_directory_path() / ("quillet-capture-bench-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    const fs::path data = QUILLET_SOURCE_DIR "/data";
    Run({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-o",
         (scratch / "bench20.pdf").string(), (data / "bench20.ps").string()});
    const Kind kinds[] = {
        {"PDF, 20 pages", scratch / "bench20.pdf", false},
        {".docx, 1 page", data / "sample.docx", true},
        {".pptx, 3 slides", data / "slides.pptx", true},
        {".xlsx, 1 page", QUILLET_SOURCE_DIR "/tests/data/office/sheet.xlsx", true},
    };
    std::printf("png16m at %d dpi, %d warm rounds (PDF %d), %u processors; peer: soffice --convert-to pdf + gs, "
                "or gs alone\n\n", dpi, rounds, 3 * rounds, std::thread::hardware_concurrency());
    std::printf("%-17s %6s | %9s %9s %6s | %9s %9s %6s\n", "document", "pages", "cold lib", "peer", "ratio",
                "warm lib", "peer", "ratio");

    const fs::path ours = scratch / "library", theirs = scratch / "peer";
    for (const Kind& kind : kinds) {
        // Cold: this program started afresh, no office process yet; the
        // peer's LibreOffice with a profile it has never seen.
        const double coldLibrary = RunLibraryCold(argv[0], kind.document, ours);
        const fs::path profile = scratch / ("profile-" + kind.document.stem().string());
        const double coldPeer = kind.office ? RunPeer(kind.document, profile, theirs)
                                            : RunGhostscriptAlone(kind.document, theirs);
        // Warm: the office process runs (one unmeasured document starts it).
        int pages = 0;
        RunLibrary(kind.document, ours, pages);
        std::vector<double> library, peer;
        // A PDF run is as long as Ghostscript's: its ratio needs more rounds
        // to stand out of the machine's noise.
        for (int round = 0; round < (kind.office ? rounds : 3 * rounds); ++round) {
            library.push_back(RunLibrary(kind.document, ours, pages));
            peer.push_back(kind.office ? RunPeer(kind.document, profile, theirs)
                                       : RunGhostscriptAlone(kind.document, theirs));
        }
        std::printf("%-17s %6d | %8.3fs %8.3fs %6.2f | %8.3fs %8.3fs %6.2f\n", kind.name, pages, coldLibrary,
                    coldPeer, coldLibrary / coldPeer, Median(library), Median(peer),
                    Median(library) / Median(peer));
        std::fflush(stdout);
    }

    // Two office documents at once, each against one alone, all warm: the
    // unmeasured first pair starts the second office process. Beside it the
    // same for Ghostscript alone on the document's PDF: what two jobs at
    // once cost on this machine as it is loaded now.
    const fs::path docx = data / "sample.docx";
    const fs::path pair = scratch / "pair";
    RunPeer(docx, scratch / "profile-sample", pair);
    const fs::path docxPdf = pair / "sample.pdf";
    std::vector<double> alone, together, gsAlone, gsTogether;
    // Runs this short are easily disturbed by the machine's other work:
    // more rounds than for the rest.
    for (int round = -1; round < 4 * rounds; ++round) {
        int pages = 0, otherPages = 0;
        double first = 0, second = 0;
        std::thread other([&] { second = RunLibrary(docx, scratch / "second", otherPages); });
        first = RunLibrary(docx, ours, pages);
        other.join();
        std::thread otherGs([&] { RunGhostscriptAlone(docxPdf, scratch / "gs-second"); });
        const Clock::time_point start = Clock::now();
        RunGhostscriptAlone(docxPdf, scratch / "gs-first");
        otherGs.join();
        const double gsPair = Since(start);
        if (round < 0)
            continue;
        together.push_back(std::max(first, second));
        gsTogether.push_back(gsPair);
        alone.push_back(RunLibrary(docx, ours, pages));
        gsAlone.push_back(RunGhostscriptAlone(docxPdf, scratch / "gs-first"));
    }
    std::printf("\ntwo .docx at once: the slower %.3f s, one alone %.3f s (medians), ratio %.2f\n",
                Median(together), Median(alone), Median(together) / Median(alone));
    std::printf("Ghostscript alone on its PDF, two at once: %.3f s, one: %.3f s, ratio %.2f\n",
                Median(gsTogether), Median(gsAlone), Median(gsTogether) / Median(gsAlone));

    // What the proof that a process is clean costs, alternately, three
    // hosts of each: a warm document's median in each host, the median of
    // those.
    std::printf("\nwarm documents, a process serving every document (before) / proven clean after each (now):\n");
    for (const Kind& kind : {kinds[1], kinds[2]}) {
        std::vector<double> before, now;
        for (int host = 0; host < 3; ++host) {
            before.push_back(RunWarmHost(argv[0], {"QUILLET_OFFICE_REUSE=always"}, kind.document));
            now.push_back(RunWarmHost(argv[0], {}, kind.document));
        }
        std::printf("%-17s before %.3f s, now %.3f s, ratio %.2f\n", kind.name, Median(before), Median(now),
                    Median(now) / Median(before));
    }
    // A document that embeds a font leaves it registered: its process is
    // replaced, and its successor starts at once.
    const fs::path font = scratch / "font.odt";
    Run({"/usr/bin/python3", QUILLET_SOURCE_DIR "/tests/support/font_document.py", font.string(), "TOTAL DUE 100 USD",
         "Private Sans", "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"});
    for (const int pause : {0, 1500}) {
        std::vector<double> after;
        for (int host = 0; host < 3; ++host)
            after.push_back(RunWarmHost(argv[0], {}, docx, font.string(), pause));
        std::printf(".docx right after a document that embeds a font, %d ms later: %.3f s\n", pause, Median(after));
    }

    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return 0;
}
