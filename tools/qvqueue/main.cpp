// qvqueue: sets up (or removes) the virtual print queue "QV Page Glance",
// whose device is our CUPS backend.
//
//   qvqueue [--ppd FILE]    create or update the queue QV_Page_Glance
//   qvqueue --remove        delete it
//
// Either way it first puts back the user's default queue where a capture
// whose host died left the virtual queue as the default.
//
// The print server is the one CUPS clients use (CUPS_SERVER, client.conf).
// The backend itself must be installed in the server's backend folder
// (owned by root, mode 0700) for jobs to get through.
#include "platform/ChildProcess.h"
#include "platform/StandardHandles.h"
#include "platform/TextConversion.h"
#include "platform/ZPrintQueue.h"

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <paper.h>
#include <strings.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Quillet;

namespace {

const char kQueue[] = "QV_Page_Glance";
const char kDisplayName[] = "QV Page Glance";

// The PPD installed beside us: <prefix>/bin/qvqueue and
// <prefix>/share/quillet/QVPageGlance.ppd (the build tree has the same layout).
std::string DefaultPpd()
{
    char self[PATH_MAX];
    const ssize_t size = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (size <= 0)
        return std::string();
    std::string path(self, static_cast<std::size_t>(size));
    path.erase(path.find_last_of('/'));
    return path + "/" QUILLET_BIN_TO_PPD;
}

int Run(const std::vector<std::string>& args)
{
    std::vector<std::wstring> argv;
    for (const std::string& arg : args)
        argv.push_back(FromUtf8(arg));
    Platform::ChildProcess child;
    Platform::SpawnOptions options;
    options.stdOut = Platform::StandardOutput();
    options.stdErr = Platform::StandardError();
    if (Platform::ChildProcess::Spawn(argv, options, child)) {
        std::fprintf(stderr, "qvqueue: cannot run %s\n", args[0].c_str());
        return 1;
    }
    const auto end = child.Wait(-1);
    return end && end->kind == Platform::ChildEnd::Kind::Exited ? end->code : 1;
}

// The PPD's name of the system's default paper (libpaper's: PAPERSIZE,
// PAPERCONF, /etc/papersize), or empty when the PPD does not offer it.
std::string SystemPaperIn(const std::string& ppd)
{
    paperinit();
    char* name = systempapername();
    const std::string wanted = name != nullptr ? name : "";
    std::free(name);
    paperdone();
    std::ifstream in(ppd);
    for (std::string line; std::getline(in, line);) {
        // *PageSize A4/A4: "..."
        if (line.rfind("*PageSize ", 0) != 0)
            continue;
        const std::string option = line.substr(10, line.find_first_of("/:", 10) - 10);
        if (!wanted.empty() && strcasecmp(option.c_str(), wanted.c_str()) == 0)
            return option;
    }
    return std::string();
}

int Usage()
{
    std::fprintf(stderr, "usage: qvqueue [--ppd FILE] | --remove\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string ppd;
    bool remove = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--remove") == 0)
            remove = true;
        else if (std::strcmp(argv[i], "--ppd") == 0 && i + 1 < argc)
            ppd = argv[++i];
        else
            return Usage();
    }
    ZPrintQueue::RestoreAbandonedDefaults();
    if (remove)
        return Run({"lpadmin", "-x", kQueue});
    if (ppd.empty())
        ppd = DefaultPpd();
    if (::access(ppd.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "qvqueue: cannot read the PPD %s\n", ppd.c_str());
        return 1;
    }
    std::vector<std::string> command = {"lpadmin", "-p", kQueue, "-E", "-v", "qvbackend:/", "-P", ppd, "-D",
                                        kDisplayName, "-o", "printer-is-shared=false",
                                        "-o", "printer-error-policy=abort-job"};
    // Documents without a size of their own (text, images) come out on the
    // system's default paper. The server applies it only to the models it
    // installs itself, not to a PPD it is given, so it is set here.
    const std::string paper = SystemPaperIn(ppd);
    if (!paper.empty())
        command.insert(command.end(), {"-o", "PageSize=" + paper});
    const int code = Run(command);
    if (code != 0)
        std::fprintf(stderr, "qvqueue: lpadmin failed; is the backend qvbackend installed in the "
                             "server's backend folder (owned by root, mode 0700)?\n");
    return code;
}
