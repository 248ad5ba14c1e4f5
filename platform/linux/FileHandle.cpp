// Taking a descriptor from another process on Linux: pidfd_getfd through a
// pidfd of the process, which the kernel grants with ptrace access only.
#include "platform/FileHandle.h"

#include "platform/posix/Internal.h"

#include <climits>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Quillet::Platform {

NativeHandle DuplicateFromProcess(std::uint32_t processId, std::int32_t handle)
{
    if (handle < 0 || processId == 0 || processId > static_cast<std::uint32_t>(INT_MAX))
        return kInvalidHandle;
    const pid_t pid = static_cast<pid_t>(processId);
    if (pid == ::getpid()) {
        // Our own descriptor: a plain duplicate, no ptrace permission needed.
        const int fd = ::fcntl(handle, F_DUPFD_CLOEXEC, 3);
        return HandleOf(fd);
    }
    const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
    if (pidfd < 0)
        return kInvalidHandle;
    UniqueHandle process(HandleOf(pidfd));
    // The kernel checks ptrace access (same user, or CAP_SYS_PTRACE) and sets
    // close-on-exec on the result.
    const long fd = ::syscall(SYS_pidfd_getfd, static_cast<int>(pidfd), handle, 0);
    if (fd < 0)
        return kInvalidHandle;
    const int kept = MoveAboveStdio(static_cast<int>(fd));
    return HandleOf(kept);
}

}  // namespace Quillet::Platform
