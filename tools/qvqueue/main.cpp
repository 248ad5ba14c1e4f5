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
#include "platform/TextConversion.h"
#include "platform/ZPrintQueue.h"

#include <climits>
#include <cstdio>
#include <cstring>
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
    if (!Platform::ChildProcess::Spawn(argv, {}, Platform::kInvalidHandle, 1, 2, child)) {
        std::fprintf(stderr, "qvqueue: cannot run %s\n", args[0].c_str());
        return 1;
    }
    int code = 1;
    child.Wait(-1, code);
    return code;
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
    const int code = Run({"lpadmin", "-p", kQueue, "-E", "-v", "qvbackend:/", "-P", ppd, "-D",
                          kDisplayName, "-o", "printer-is-shared=false",
                          "-o", "printer-error-policy=abort-job"});
    if (code != 0)
        std::fprintf(stderr, "qvqueue: lpadmin failed; is the backend qvbackend installed in the "
                             "server's backend folder (owned by root, mode 0700)?\n");
    return code;
}
