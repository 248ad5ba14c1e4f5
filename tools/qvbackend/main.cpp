// qvbackend: the CUPS backend of the virtual print queue. It spools the job
// (the PDF the print system made), reports it over the key endpoint to the
// capture that waits for it (proving the job by its title, which carries the
// capture's tag) and names the spool file in the job keys.
//
// CUPS runs it as:  qvbackend JOB USER TITLE COPIES OPTIONS [FILE]
// (without arguments it lists its device). The job arrives in FILE or on
// standard input. Messages on standard error are CUPS's ERROR:/INFO: lines.
//
// The job goes only to a capture run by the user who submitted it (CUPS's
// USER argument) or by root: the key endpoint's client checks each server's
// credentials before it sends a byte.
//
// Spool files live in $QUILLET_SPOOL, else /var/spool/quillet (folder mode
// 0711, files under unguessable names, mode 0600 and owned by the submitting
// user, so that the capturing user and nobody else can read the job). The
// job is copied into a file without a name, which is named only once whole;
// the name is removed as soon as the capture has opened the file (the reader
// keeps its open handle), when no capture opened it within 10 s, and when the
// print server cancels the job (SIGTERM). A name left by a backend that was
// killed outright (a print server that shuts down kills its backends) carries
// that backend's process id and goes with the next job. So spool files never
// pile up.
//
// A job with no data at all is the print system's failure to convert the
// document (a filter that could not read it): it is not reported, and the job
// is cancelled without a message of ours, so that the filter's message (such
// as "invalid password") stays the job's last word for the capture to read.
#include "platform/IpcClient.h"
#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// CUPS backend exit codes.
constexpr int kBackendOk = 0;
constexpr int kBackendFailed = 1;
constexpr int kBackendCancel = 5;

const wchar_t kEndpoint[] = L"719D68FD-2A2F-4088-976B-52DC0A22235C";
constexpr int kFinalReplyMs = 30000;       // the capture parses the keys, then answers
// The capture opens the job right after answering. The queue sends its next
// job only once we have ended, so this wait is short; a job nobody opens (a
// capture that failed after the reply) is left to the sweep of old files.
constexpr int kOpenWaitMs = 10000;
constexpr time_t kAbandonedAfterS = 10 * 60;

std::string SpoolFolder()
{
    const char* folder = std::getenv("QUILLET_SPOOL");
    return folder != nullptr && *folder != '\0' ? folder : "/var/spool/quillet";
}

bool EnsureFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0711) == 0 || errno == EEXIST) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    return false;
}

// The spool file being written or offered, for the SIGTERM handler: the
// print server cancels a job by terminating its backend.
char spoolPath[4096];

extern "C" void RemoveSpoolAndExit(int)
{
    if (spoolPath[0] != '\0')
        ::unlink(spoolPath);  // async-signal-safe, like _exit
    ::_exit(kBackendCancel);
}

// Removes spool files of earlier jobs that no capture opened: at once when
// the backend that named it ("job-PID-...") is gone, else once it is old.
void RemoveAbandoned(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    const time_t now = std::time(nullptr);
    while (dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, "job-", 4) != 0)
            continue;
        const std::string path = folder + "/" + entry->d_name;
        const long writer = std::atol(entry->d_name + 4);
        const bool writerGone =
            writer > 0 && !Quillet::ZUtilities::IsProcessAlive(static_cast<std::uint32_t>(writer));
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            (writerGone || now - info.st_mtime > kAbandonedAfterS))
            ::unlink(path.c_str());
    }
    ::closedir(dir);
}

// A file without a name in folder, for the job while it is copied: a backend
// killed meanwhile leaves nothing behind. -1 where the file system has no
// such files; then the file is named at once.
int CreateUnnamed(const std::string& folder)
{
    return ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// Gives the unnamed file fd a fresh name "job-PID-RANDOM.ps" in folder, or
// creates a named one when fd is -1 (returned through fd). SIGTERM is held
// off meanwhile, so that the handler always knows the name there is.
bool NameSpoolFile(const std::string& folder, int& fd, std::string& name)
{
    sigset_t terminate, previous;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &terminate, &previous);
    bool named = false;
    for (int attempt = 0; attempt < 16 && !named; ++attempt) {
        unsigned char random[6];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            break;
        name = folder + "/job-" + std::to_string(::getpid()) + "-";
        for (unsigned char r : random)
            name += "abcdefghijklmnopqrstuvwxyz0123456789"[r % 36];
        name += ".ps";
        if (name.size() >= sizeof spoolPath)
            break;
        if (fd >= 0) {
            // The file was opened here, so /proc names it for linkat, which
            // needs no privilege that way.
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            named = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
        } else {
            fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            named = fd >= 0;
        }
        if (!named && errno != EEXIST)
            break;
    }
    if (named)
        std::memcpy(spoolPath, name.c_str(), name.size() + 1);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return named;
}

bool CopyAll(int from, int to)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += put;
        }
    }
}

// A value for the key grammar, which has no escapes: quotes cannot appear.
std::string Quoted(std::string value)
{
    for (char& c : value)
        if (c == '"')
            c = '\'';
    return "\"" + value + "\"";
}

// Watches the spool file for being opened (the capture reading the job). Set
// up before the job is reported, so that an open right after the report is
// not missed.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) : fd(::inotify_init1(IN_CLOEXEC))
    {
        if (fd >= 0 && ::inotify_add_watch(fd, path.c_str(), IN_OPEN) < 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~OpenWatch()
    {
        if (fd >= 0)
            ::close(fd);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool WaitUntilOpened(int timeoutMs)
    {
        if (fd < 0)
            return false;
        pollfd entry{fd, POLLIN, 0};
        int ready;
        do
            ready = ::poll(&entry, 1, timeoutMs);
        while (ready < 0 && errno == EINTR);
        return ready > 0;
    }

private:
    int fd;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 1) {
        std::printf("direct qvbackend \"Unknown\" \"QV Page Glance\"\n");
        return kBackendOk;
    }
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return kBackendFailed;
    }
    const std::string user = argv[2];
    const std::string title = argv[3];
    struct passwd entry {};
    struct passwd* owner = nullptr;
    char names[4096];
    if (::getpwnam_r(user.c_str(), &entry, names, sizeof names, &owner) != 0 || owner == nullptr) {
        std::fprintf(stderr, "ERROR: The job's user %s is not known on this machine\n", user.c_str());
        return kBackendCancel;
    }

    const std::string folder = SpoolFolder();
    if (!EnsureFolder(folder)) {
        std::fprintf(stderr, "ERROR: Cannot create the spool folder %s: %s\n", folder.c_str(), std::strerror(errno));
        return kBackendFailed;
    }
    RemoveAbandoned(folder);

    int input = 0;
    if (argc == 7) {
        input = ::open(argv[6], O_RDONLY | O_CLOEXEC);
        if (input < 0) {
            std::fprintf(stderr, "ERROR: Cannot open the job file: %s\n", std::strerror(errno));
            return kBackendFailed;
        }
    }
    // A cancel removes the name we gave; a print server gone mid-job must
    // not kill us through our own messages.
    struct sigaction onTerminate {};
    onTerminate.sa_handler = RemoveSpoolAndExit;
    ::sigaction(SIGTERM, &onTerminate, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::string spool;
    int output = CreateUnnamed(folder);
    if (output < 0 && !NameSpoolFile(folder, output, spool)) {
        std::fprintf(stderr, "ERROR: Cannot create a spool file: %s\n", std::strerror(errno));
        return kBackendFailed;
    }
    // Readable by the job's own user alone. A backend that does not run as
    // root cannot give the file away and reaches only its own user's captures.
    auto fail = [&](const char* what) {
        std::fprintf(stderr, "ERROR: %s: %s\n", what, std::strerror(errno));
        ::close(output);
        if (!spool.empty())
            ::unlink(spool.c_str());
        return kBackendFailed;
    };
    if (::fchmod(output, 0600) != 0 ||
        (::geteuid() == 0 && ::fchown(output, owner->pw_uid, owner->pw_gid) != 0))
        return fail(("Cannot hand the spool file to " + user).c_str());
    if (!CopyAll(input, output))
        return fail("Cannot spool the job");
    if (input != 0)
        ::close(input);
    struct stat spooled {};
    if (::fstat(output, &spooled) == 0 && spooled.st_size == 0) {
        ::close(output);
        if (!spool.empty())
            ::unlink(spool.c_str());
        return kBackendCancel;
    }
    if (spool.empty() && !NameSpoolFile(folder, output, spool))
        return fail("Cannot name the spool file");
    if (::close(output) != 0) {
        std::fprintf(stderr, "ERROR: Cannot spool the job: %s\n", std::strerror(errno));
        ::unlink(spool.c_str());
        return kBackendFailed;
    }

    OpenWatch watch(spool);
    std::fprintf(stderr, "INFO: Reporting the job to the capture\n");
    const std::wstring keys =
        Quillet::FromUtf8("printjobfile=" + Quoted(spool) + " docname=" + Quoted(title));
    const auto result = Quillet::Platform::ReportJob(kEndpoint, Quillet::FromUtf8(title), keys, kFinalReplyMs,
                                                     Quillet::FromUtf8(user));
    if (result != Quillet::Platform::IpcReportResult::Delivered) {
        ::unlink(spool.c_str());
        std::fprintf(stderr, "ERROR: %s\n",
                     result == Quillet::Platform::IpcReportResult::NoServer
                         ? "No capture is waiting for this job"
                         : "The capture did not confirm the job");
        // Cancel this job only: the queue stays ready for the next one.
        return kBackendCancel;
    }
    // The capture opens the file right after confirming; once it holds it
    // open, the name can go. A capture that has not opened it by then has
    // given up on it.
    const bool opened = watch.WaitUntilOpened(kOpenWaitMs);
    ::unlink(spool.c_str());
    if (!opened) {
        std::fprintf(stderr, "ERROR: The capture did not read the job\n");
        return kBackendCancel;
    }
    std::fprintf(stderr, "INFO: Job delivered\n");
    return kBackendOk;
}
