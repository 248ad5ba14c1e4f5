// ChildProcess on posix_spawn and a pidfd.
//
// The child's process handle is a pidfd opened right after the spawn. Between
// the spawn and pidfd_open the child may already have ended, but it is our
// own child and not yet reaped, so its pid cannot be taken by another process
// in that window: the pidfd always names our child. (A host that sets SIGCHLD
// to SIG_IGN or reaps "any child" itself defeats this; its children are then
// reaped by the kernel or by the host, and the exit code is lost, see
// TryGetExitCode.) From then on the child is signalled and reaped only
// through the pidfd, which cannot name a recycled pid.
#include "platform/ChildProcess.h"

#include "platform/posix/Internal.h"

#include "platform/Environment.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"
#include "platform/linux/ConfinedChild.h"
#include "platform/posix/PollDeadline.h"

#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <dirent.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Quillet::Platform {

namespace {

// The C library's pidfd wrappers are declared without C linkage in this
// glibc's header, so the system calls are made directly.
int PidfdOpen(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int PidfdSendSignal(int pidfd, int signal)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

bool HasNul(const std::string& text)
{
    return text.find('\0') != std::string::npos;
}

std::vector<char*> PointerList(std::vector<std::string>& strings)
{
    std::vector<char*> list;
    list.reserve(strings.size() + 1);
    for (auto& s : strings)
        list.push_back(s.data());
    list.push_back(nullptr);
    return list;
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool haveActions = false;
    bool haveAttributes = false;

    ~SpawnSetup()
    {
        if (haveActions)
            posix_spawn_file_actions_destroy(&actions);
        if (haveAttributes)
            posix_spawnattr_destroy(&attributes);
    }
};

// The paths a program name stands for: itself when it holds a "/", otherwise
// each folder of PATH (the C library's default when PATH is unset) in turn.
std::vector<std::string> ProgramCandidates(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return {program};
    const char* path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    for (std::size_t start = 0;;) {
        const std::size_t end = folders.find(':', start);
        std::string folder = folders.substr(start, end == std::string::npos ? end : end - start);
        candidates.push_back((folder.empty() ? std::string(".") : folder) + "/" + program);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return candidates;
}

// The most handles a child inherits beyond its standard ones.
constexpr std::size_t kMaxInherited = 8;

// What a forked child gets beyond its standard handles, as descriptors.
struct ForkExtras {
    int workingFolder = -1;
    int inherited[kMaxInherited] = {};
    std::size_t inheritedCount = 0;
};

// Puts the inherited descriptors on 3, 4, ... in the child. Each is first
// copied above every slot, so that placing one never overwrites another's
// source; the copies are close-on-exec.
bool PlaceInherited(const ForkExtras& extras)
{
    const int top = 3 + static_cast<int>(extras.inheritedCount);
    int copies[kMaxInherited];
    for (std::size_t i = 0; i < extras.inheritedCount; ++i) {
        copies[i] = ::fcntl(extras.inherited[i], F_DUPFD_CLOEXEC, top);
        if (copies[i] < 0)
            return false;
    }
    for (std::size_t i = 0; i < extras.inheritedCount; ++i)
        if (::dup2(copies[i], 3 + static_cast<int>(i)) < 0)
            return false;
    return true;
}

// The child's side of SpawnForked: only async-signal-safe calls, since the
// parent may have other threads holding locks at the fork. Never returns.
[[noreturn]] void RunForkedChild(pid_t parent, bool tied, const Confinement::Prepared* confinement,
                                 const int (&sources)[3], int reportFd, const std::vector<char*>& programs,
                                 char* const* argv, char* const* envp, const ForkExtras& extras)
{
    // The signal goes when the forking thread ends. A parent that died before
    // the prctl took effect left us with another parent already: leave.
    if (tied && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent))
        ::_exit(127);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int slot = 0; slot < 3; ++slot) {
        int fd = sources[slot];
        if (fd < 0)
            fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            ::_exit(127);
        // dup2 onto itself keeps close-on-exec: clear it by hand then.
        if (fd == slot ? ::fcntl(fd, F_SETFD, 0) != 0 : ::dup2(fd, slot) < 0)
            ::_exit(127);
    }
    ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
    int error = 0;
    if (extras.workingFolder >= 0 && ::fchdir(extras.workingFolder) != 0)
        error = errno;
    // The report pipe is moved above the slots of the inherited handles,
    // which are placed after the confinement (whose ruleset may sit there).
    if (error == 0 && extras.inheritedCount > 0) {
        reportFd = ::fcntl(reportFd, F_DUPFD_CLOEXEC, 3 + static_cast<int>(extras.inheritedCount));
        if (reportFd < 0)
            ::_exit(127);
    }
    // Last before the program: from here on nothing outside the rules can
    // be reached, the program included, which its rules must therefore allow.
    if (error == 0 && confinement != nullptr)
        error = ApplyConfinement(*confinement);
    if (error == 0 && !PlaceInherited(extras))
        error = errno;
    if (error == 0) {
        error = ENOENT;
        for (char* program : programs) {
            ::execve(program, argv, envp);
            if (errno != ENOENT || error == ENOENT)
                error = errno;
        }
    }
    ssize_t ignored = ::write(reportFd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

// Forks and execs, with the parent-death signal tied to the calling thread
// when tied (the host thread's, see ForkOnHostThread), and confined when confinement is given. The exec's outcome comes
// back through a close-on-exec pipe: nothing read means the exec succeeded.
// Returns the pid, or -1 with errno set.
pid_t SpawnForked(const std::vector<std::string>& candidates, const int (&sources)[3], char* const* argv,
                  char* const* envp, bool tied, const Confinement::Prepared* confinement, const ForkExtras& extras)
{
    std::vector<std::string> paths = candidates;
    std::vector<char*> programs = PointerList(paths);
    programs.pop_back();
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return -1;
    UniqueHandle reportRead(HandleOf(report[0]));
    UniqueHandle reportWrite(HandleOf(report[1]));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        RunForkedChild(parent, tied, confinement, sources, report[1], programs, argv, envp, extras);
    reportWrite.Reset();
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (n == 0)
        return pid;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errno = n == static_cast<ssize_t>(sizeof error) ? error : ECHILD;
    return -1;
}

ChildEnd EndOf(const siginfo_t& info)
{
    // Killed or dumped: both ended by the signal in si_status.
    if (info.si_code == CLD_EXITED)
        return ChildEnd{ChildEnd::Kind::Exited, info.si_status};
    return ChildEnd{ChildEnd::Kind::Killed, info.si_status};
}

// The parent-death signal follows the thread that forked the child, not its
// process. Children that end with their process are therefore forked by a
// thread of our own that lives as long as the process: the host thread. Made
// on first use in each process (a process forked by the host has none of its
// parent's threads), with every signal blocked so that it never takes one
// meant for the host; never destroyed.
struct HostThread {
    pid_t owner = -1;
    std::mutex callLock;  // one fork at a time
    std::mutex lock;
    std::condition_variable wake;
    const std::function<pid_t()>* task = nullptr;
    pid_t result = -1;
    int error = 0;

    void Serve()
    {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            wake.wait(guard, [this] { return task != nullptr; });
            result = (*task)();
            error = errno;
            task = nullptr;
            wake.notify_all();
        }
    }
};

HostThread* TheHostThread()
{
    static std::mutex made;
    static HostThread* thread = nullptr;
    std::lock_guard<std::mutex> guard(made);
    if (thread != nullptr && thread->owner == ::getpid())
        return thread;
    auto fresh = std::make_unique<HostThread>();
    fresh->owner = ::getpid();
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        std::thread(&HostThread::Serve, fresh.get()).detach();
    } catch (const std::system_error&) {
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return nullptr;
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    thread = fresh.release();  // serves until the process ends
    return thread;
}

// Runs spawn on the host thread; its pid, or -1 with errno set.
pid_t ForkOnHostThread(const std::function<pid_t()>& spawn)
{
    HostThread* thread = TheHostThread();
    if (thread == nullptr) {
        errno = EAGAIN;
        return -1;
    }
    std::lock_guard<std::mutex> call(thread->callLock);
    std::unique_lock<std::mutex> guard(thread->lock);
    thread->task = &spawn;
    thread->wake.notify_all();
    thread->wake.wait(guard, [thread] { return thread->task == nullptr; });
    errno = thread->error;
    return thread->result;
}

}  // namespace

std::wstring ChildProcess::InheritedHandleName(std::size_t i)
{
    return L"/dev/fd/" + std::to_wstring(3 + i);
}

void ChildProcess::Release() noexcept
{
    if (handle.IsValid() && !reaped) {
        const int savedErrno = errno;
        Kill();
        // SIGKILL cannot be refused, so this wait is short.
        siginfo_t info{};
        while (waitid(P_PIDFD, static_cast<id_t>(Fd(handle.Get())), &info, WEXITED) < 0 && errno == EINTR) {
        }
        errno = savedErrno;
    }
    handle.Reset();
    processId = -1;
    reaped = false;
    end = ChildEnd();
}

std::error_code ChildProcess::Spawn(const std::vector<std::wstring>& argv, const SpawnOptions& options,
                                    ChildProcess& out)
{
    if (Start(argv, options, out))
        return std::error_code();
    const std::error_code error = LastError();
    // A failure that left no error number still is a failure.
    return error ? error : std::make_error_code(std::errc::io_error);
}

bool ChildProcess::Start(const std::vector<std::wstring>& argv, const SpawnOptions& options, ChildProcess& out)
{
    const auto& extraEnvironment = options.environment;
    const NativeHandle stdIn = options.stdIn, stdOut = options.stdOut, stdErr = options.stdErr;
    const bool endWithHost = !options.outliveHost;
    const Confinement* confinement = options.confinement;
    const bool extrasGiven = options.workingFolder != kInvalidHandle || !options.inherited.empty();
    if (argv.empty() || (confinement != nullptr && !confinement->IsReady())) {
        errno = argv.empty() ? EINVAL : EPERM;
        return false;
    }
    // Extras on 0 to 2 (a host that closed its standard handles) would be
    // overwritten by the standard handles in the child: they go above 2
    // first, like the standard handles' sources below.
    ForkExtras extras;
    UniqueHandle movedExtras[kMaxInherited + 1];
    auto placeable = [&](NativeHandle handle, std::size_t i, int& fd) {
        fd = Fd(handle);
        if (fd > 2)
            return true;
        movedExtras[i].Reset(HandleOf(fcntl(fd, F_DUPFD_CLOEXEC, 3)));
        fd = Fd(movedExtras[i].Get());
        return movedExtras[i].IsValid();
    };
    if (extrasGiven) {
        if (options.inherited.size() > kMaxInherited) {
            errno = EINVAL;
            return false;
        }
        if (options.workingFolder != kInvalidHandle &&
            !placeable(options.workingFolder, kMaxInherited, extras.workingFolder))
            return false;
        for (NativeHandle handle : options.inherited) {
            if (!handle.IsValid()) {
                errno = EBADF;
                return false;
            }
            if (!placeable(handle, extras.inheritedCount, extras.inherited[extras.inheritedCount]))
                return false;
            ++extras.inheritedCount;
        }
    }
    std::vector<std::string> args;
    args.reserve(argv.size());
    for (const auto& arg : argv) {
        args.push_back(ToUtf8(arg));
        if (HasNul(args.back())) {
            errno = EINVAL;
            return false;
        }
    }
    // environ is only read: changing it in a threaded host is unsafe.
    std::vector<std::string> environment;
    std::vector<std::string_view> inherited;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        inherited.emplace_back(*entry);
    std::vector<std::pair<std::wstring, std::wstring>> extra = extraEnvironment;
    if (confinement != nullptr) {
        const auto& own = confinement->GetRules().environment;
        extra.insert(extra.end(), own.begin(), own.end());
    }
    if (!BuildEnvironment(inherited, extra, environment)) {
        errno = EINVAL;
        return false;
    }
    std::vector<char*> argPointers = PointerList(args);
    std::vector<char*> environmentPointers = PointerList(environment);

    // The dup2 actions run in order, so a source that is itself one of the
    // descriptors 0 to 2 could be overwritten by an earlier action before it
    // is copied (say stdOut is descriptor 0). Such sources are first copied
    // above 2, close-on-exec; the copies are closed when Spawn returns.
    const NativeHandle wanted[3] = {stdIn, stdOut, stdErr};
    UniqueHandle moved[3];
    int sources[3];
    for (int slot = 0; slot < 3; ++slot) {
        const NativeHandle source = wanted[slot];
        if (source == kInvalidHandle) {
            sources[slot] = -1;
            continue;
        }
        if (!source.IsValid()) {
            errno = EBADF;
            return false;
        }
        sources[slot] = Fd(source);
        if (sources[slot] <= 2 && sources[slot] != slot) {
            const int copy = fcntl(sources[slot], F_DUPFD_CLOEXEC, 3);
            if (copy < 0)
                return false;
            moved[slot].Reset(HandleOf(copy));
            sources[slot] = copy;
        }
    }

    pid_t pid = -1;
    if (endWithHost || confinement != nullptr || extrasGiven) {
        // posix_spawn runs no code of ours in the child, so the parent-death
        // signal, the confinement and the extras need a fork of our own.
        const std::vector<std::string> candidates = ProgramCandidates(args[0]);
        const auto spawn = [&] {
            return SpawnForked(candidates, sources, argPointers.data(), environmentPointers.data(), endWithHost,
                               confinement != nullptr ? &confinement->GetPrepared() : nullptr, extras);
        };
        pid = endWithHost ? ForkOnHostThread(spawn) : spawn();
        if (pid < 0)
            return false;
        return Adopt(pid, out);
    }

    SpawnSetup setup;
    int rc = posix_spawn_file_actions_init(&setup.actions);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    setup.haveActions = true;
    for (int slot = 0; slot < 3 && rc == 0; ++slot) {
        // dup2 onto the same number clears close-on-exec in the child (glibc
        // follows POSIX there), so a source already at its slot is kept too.
        if (sources[slot] < 0)
            rc = posix_spawn_file_actions_addopen(&setup.actions, slot, "/dev/null", O_RDWR, 0);
        else
            rc = posix_spawn_file_actions_adddup2(&setup.actions, sources[slot], slot);
    }
    // Our own descriptors are all close-on-exec, but a host may hold some that
    // are not; the child gets exactly 0, 1 and 2 all the same.
    if (rc == 0)
        rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    if (rc == 0) {
        rc = posix_spawnattr_init(&setup.attributes);
        setup.haveAttributes = rc == 0;
    }
    if (rc == 0) {
        // The child starts with no signal blocked and every signal at its
        // default action, whatever the spawning thread or the host had set
        // (an ignored SIGPIPE, for one, would survive the exec).
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        rc = posix_spawnattr_setsigmask(&setup.attributes, &none);
        if (rc == 0)
            rc = posix_spawnattr_setsigdefault(&setup.attributes, &all);
        if (rc == 0)
            rc = posix_spawnattr_setflags(&setup.attributes,
                                          POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (rc != 0) {
        errno = rc;
        return false;
    }

    const char* program = args[0].c_str();
    // Only a bare name is looked up in PATH; anything with a "/" is a path.
    if (args[0].find('/') != std::string::npos)
        rc = posix_spawn(&pid, program, &setup.actions, &setup.attributes,
                         argPointers.data(), environmentPointers.data());
    else
        rc = posix_spawnp(&pid, program, &setup.actions, &setup.attributes,
                          argPointers.data(), environmentPointers.data());
    if (rc != 0) {
        errno = rc;  // includes a failed exec: glibc reports it here
        return false;
    }
    return Adopt(pid, out);
}

std::wstring ChildProcess::FindProgram(const std::wstring& name)
{
    for (const std::string& candidate : ProgramCandidates(ToUtf8(name))) {
        struct stat info {};
        if (::stat(candidate.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || ::access(candidate.c_str(), X_OK) != 0)
            continue;
        const std::unique_ptr<char, void (*)(void*)> real(::realpath(candidate.c_str(), nullptr), &std::free);
        if (real)
            return FromUtf8(real.get());
    }
    return std::wstring();
}

bool ChildProcess::Adopt(std::int64_t childId, ChildProcess& out)
{
    const auto pid = static_cast<pid_t>(childId);
    const int pidfd = PidfdOpen(pid);  // always close-on-exec
    if (pidfd < 0) {
        // Without a handle the child could not be waited for: end it and
        // reap it by its own pid.
        const int savedErrno = errno;
        kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        errno = savedErrno;
        return false;
    }

    out.Release();
    out.handle.Reset(HandleOf(pidfd));
    out.processId = pid;
    return true;
}

std::uint64_t ChildProcess::GetUnlinkedOpenBytes() const
{
    if (!handle.IsValid() || reaped || processId <= 0)
        return 0;
    // /proc/PID/fd lists the child's descriptors; stat through each link
    // reaches the open file itself, whose link count is 0 once removed.
    // Blocks, not the length: a sparse file holds no more than it filled.
    const std::string folder = "/proc/" + std::to_string(processId) + "/fd";
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr)
        return 0;
    std::uint64_t bytes = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(listing), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode) &&
            info.st_nlink == 0)
            bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;
    }
    ::closedir(listing);
    return bytes;
}

std::uint64_t ChildProcess::GetDataBytes() const
{
    if (!handle.IsValid() || reaped || processId <= 0)
        return 0;
    // statm's sixth figure: data and stack, in pages; what RLIMIT_DATA counts.
    const std::string path = "/proc/" + std::to_string(processId) + "/statm";
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return 0;
    char text[256];
    const ssize_t count = ::read(file, text, sizeof text - 1);
    ::close(file);
    if (count <= 0)
        return 0;
    text[count] = '\0';
    unsigned long long fields[6] = {};
    if (std::sscanf(text, "%llu %llu %llu %llu %llu %llu", &fields[0], &fields[1], &fields[2], &fields[3],
                    &fields[4], &fields[5]) != 6)
        return 0;
    return fields[5] * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

bool ChildEnd::IsFileSizeLimit() const
{
    return kind == Kind::Killed && code == SIGXFSZ;
}

std::string ChildEnd::Describe() const
{
    return (kind == Kind::Exited ? "exit code " : "signal ") + std::to_string(code);
}

std::optional<ChildEnd> ChildProcess::TryGetEnd()
{
    if (!handle.IsValid())
        return std::nullopt;
    if (!reaped) {
        siginfo_t info{};
        int rc;
        while ((rc = waitid(P_PIDFD, static_cast<id_t>(Fd(handle.Get())), &info, WEXITED | WNOHANG)) < 0 &&
               errno == EINTR) {
        }
        if (rc < 0) {
            if (errno != ECHILD)
                return std::nullopt;
            // Reaped behind our back (SIGCHLD ignored by the host, or the
            // host waited for any child): the child has ended, its code is
            // lost and counts as 0.
            end = ChildEnd();
        } else if (info.si_pid == 0) {
            return std::nullopt;  // still running
        } else {
            end = EndOf(info);
        }
        reaped = true;
    }
    return end;
}

std::optional<ChildEnd> ChildProcess::Wait(int timeoutMs)
{
    if (!handle.IsValid())
        return std::nullopt;
    PollDeadline deadline(timeoutMs);
    for (;;) {
        if (auto ended = TryGetEnd())
            return ended;
        switch (deadline.Poll(Fd(handle.Get()))) {
        case PollDeadline::Result::Ready:
            return TryGetEnd();  // ended: reap it now
        case PollDeadline::Result::Failed:
            return std::nullopt;
        case PollDeadline::Result::Idle:
            if (deadline.Expired())
                return std::nullopt;
            break;
        }
    }
}

void ChildProcess::Kill()
{
    // Through the pidfd: a child that was reaped by someone else cannot be
    // confused with a new process that took its pid.
    if (handle.IsValid() && !reaped)
        PidfdSendSignal(Fd(handle.Get()), SIGKILL);
}

}  // namespace Quillet::Platform
