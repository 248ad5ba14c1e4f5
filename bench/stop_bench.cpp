// Stop and hand-out benchmark, through the public interface:
//  - stop latency: Stop() once page 1 of a 400-page job is out, beside the
//    10 s cap a stop may wait at most;
//  - hand-out delay on a slowly fed FIFO: from a page file's last write to
//    GetPage returning it, for PNG and TIFF (a page is complete once its
//    file is closed and its check passes), in the same run.
//
//   stop_bench [--rounds N]
#include <quillet/quillet.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::string Page(int n)
{
    std::ostringstream page;
    page << "newpath " << n % 90 + 5 << " 5 moveto " << n / 90 * 20 + 5 << " 95 lineto stroke showpage\n";
    return page.str();
}

const char* kHeader = "%!PS\n<< /PageSize [200 200] >> setpagedevice\n";

/// Seconds Stop() took once page 1 of a 400-page job was out.
double StopLatency(const fs::path& scratch, int round)
{
    const fs::path job = scratch / ("stop" + std::to_string(round) + ".ps");
    {
        std::ofstream out(job);
        // Letter pages: each takes Ghostscript a while, so its page files keep
        // the folder busy for the whole job.
        out << "%!PS\n<< /PageSize [612 792] >> setpagedevice\n";
        for (int n = 0; n < 400; ++n)
            out << Page(n);
    }
    Quillet::IRIPBase* rip = Quillet::CreateRIPService(Wide(job.string()));
    rip->SetOutputFolder(Wide((scratch / ("stop" + std::to_string(round))).string()));
    rip->SetOutputFormat(Quillet::RIP_PNG16M);
    rip->SetResolution(150);
    Quillet::BitmapFile page;
    double seconds = -1;
    if (rip->StartRIP() && rip->GetPage(1, page)) {
        const Clock::time_point start = Clock::now();
        rip->Stop();
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    rip->Release();
    return seconds;
}

/// Per page, seconds from the page file's last write to GetPage handing it
/// out, with the job fed into a FIFO one page every gapMs.
std::vector<double> HandOutDelays(const fs::path& scratch, Quillet::RIPFormat format, int pages, int gapMs)
{
    const fs::path fifo = scratch / ("job" + std::to_string(format) + ".fifo");
    ::mkfifo(fifo.c_str(), 0600);
    Quillet::IRIPBase* rip = Quillet::CreateRIPService(L"printjobfile=" + Wide(fifo.string()));
    rip->SetOutputFolder(Wide((scratch / ("fifo" + std::to_string(format))).string()));
    rip->SetOutputFormat(format);
    rip->SetResolution(72);
    std::vector<double> delays;
    if (!rip->StartRIP()) {
        rip->Release();
        return delays;
    }
    std::thread writer([&] {
        std::ofstream out(fifo);
        out << kHeader << std::flush;
        for (int n = 0; n < pages; ++n) {
            out << Page(n) << std::flush;
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        }
    });
    for (int n = 1; n <= pages; ++n) {
        Quillet::BitmapFile page;
        if (!rip->GetPage(n, page))
            break;
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        struct stat info {};
        if (::stat(Narrow(page.GetFilePath()).c_str(), &info) != 0)
            continue;
        const double written = info.st_mtim.tv_sec + info.st_mtim.tv_nsec / 1e9;
        delays.push_back(std::chrono::duration<double>(now).count() - written);
    }
    writer.join();
    rip->Release();
    return delays;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[++i]));
    char pattern[] = "/tmp/quillet-stop-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return 1;
    const fs::path scratch = pattern;

    std::vector<double> stops;
    for (int round = 0; round < rounds; ++round)
        stops.push_back(StopLatency(scratch, round));
    std::printf("stop latency, 400-page job, page 1 out: median %.3f s, worst %.3f s (cap 10 s)\n",
                Median(stops), *std::max_element(stops.begin(), stops.end()));

    const int gapMs = 500;
    const std::vector<double> png = HandOutDelays(scratch, Quillet::RIP_PNG16M, 6, gapMs);
    const std::vector<double> tiff = HandOutDelays(scratch, Quillet::RIP_TIFF32NC, 6, gapMs);
    std::printf("hand-out delay, FIFO fed one page per %d ms, last write to GetPage:\n", gapMs);
    std::printf("  png16m   (closed file):    median %.3f s over %zu pages\n", Median(png), png.size());
    std::printf("  tiff32nc (closed file):   median %.3f s over %zu pages\n", Median(tiff), tiff.size());
    fs::remove_all(scratch);
    return 0;
}
