// POSIX pipes: pipe2 with close-on-exec, and reads and writes that report
// would-block, end and error instead of raising signals.
#include "platform/Pipe.h"

#include "platform/posix/Internal.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace Quillet::Platform {

bool CreatePipe(PipePair& out, const wchar_t*)
{
    out.read.Reset();
    out.write.Reset();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    out.read.Reset(HandleOf(fds[0]));
    out.write.Reset(HandleOf(fds[1]));
    return true;
}

bool SetNonBlocking(NativeHandle handle, bool on)
{
    const int fd = Fd(handle);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

bool SetPipeCapacity(NativeHandle handle, std::size_t bytes)
{
    return fcntl(Fd(handle), F_SETPIPE_SZ, static_cast<int>(bytes)) >= 0;
}

IoStatus ReadSome(NativeHandle handle, void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    for (;;) {
        const ssize_t n = read(Fd(handle), buffer, size);
        if (n > 0) {
            count = static_cast<std::size_t>(n);
            return IoStatus::Ok;
        }
        if (n == 0)
            return size == 0 ? IoStatus::Ok : IoStatus::End;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return IoStatus::WouldBlock;
        return IoStatus::Error;
    }
}

namespace {

// A write to a pipe without a reader raises SIGPIPE for the writing thread,
// whose default action ends the whole host. A library may neither install a
// handler nor change the process-wide disposition, so the signal is blocked
// in this thread for the write and, if the write raised it, taken off the
// thread's pending set before the old mask comes back. A SIGPIPE that was
// already pending before the write is left alone.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &oldMask);
    }

    // Called when the write failed with EPIPE: the kernel has queued SIGPIPE
    // to this thread (it is blocked, so still pending).
    void ConsumeRaised()
    {
        if (wasPending)
            return;
        const int savedErrno = errno;
        const timespec noWait{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
        }
        errno = savedErrno;
    }

    ~SigpipeGuard()
    {
        const int savedErrno = errno;
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        errno = savedErrno;
    }

    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipeOnly;
    sigset_t oldMask;
    bool wasPending = false;
};

}  // namespace

IoStatus WriteSome(NativeHandle handle, const void* buffer, std::size_t size, std::size_t& count)
{
    count = 0;
    if (size == 0)
        return IoStatus::Ok;
    SigpipeGuard guard;
    for (;;) {
        const ssize_t n = write(Fd(handle), buffer, size);
        if (n >= 0) {
            count = static_cast<std::size_t>(n);
            return IoStatus::Ok;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return IoStatus::WouldBlock;
        if (errno == EPIPE)
            guard.ConsumeRaised();
        return IoStatus::Error;
    }
}

int PipeCapacity(NativeHandle handle)
{
    return fcntl(Fd(handle), F_GETPIPE_SZ);
}

}  // namespace Quillet::Platform
