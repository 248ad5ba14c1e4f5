// SharedMemory on POSIX: a shared-memory object (shm_open) mapped MAP_SHARED.
#include "platform/SharedMemory.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"
#include "platform/posix/SharedObject.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Quillet::Platform {
namespace {

/// Closes a descriptor at the end of a scope without disturbing errno, so the
/// error of the call that failed is the one the caller sees.
class DescriptorGuard {
public:
    explicit DescriptorGuard(int fd) : fd(fd) {}
    ~DescriptorGuard()
    {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
    DescriptorGuard(const DescriptorGuard&) = delete;
    DescriptorGuard& operator=(const DescriptorGuard&) = delete;

private:
    int fd;
};

}  // namespace

SharedMemory::OpenResult SharedMemory::Open(const std::wstring& name, std::size_t wanted, SharedScope scope)
{
    Close();
    bool created = false;
    const int fd = OpenSharedObject(name, scope, created);
    if (fd < 0)
        return errno == EACCES ? OpenResult::Refused : OpenResult::Failed;
    DescriptorGuard guard(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return OpenResult::Failed;
    if (status.st_size == 0) {
        // Just created by us, or left empty by a creator that died before
        // sizing it: either way ours to complete. New bytes read as 0.
        if (::ftruncate(fd, static_cast<off_t>(wanted)) != 0)
            return OpenResult::Failed;
        created = true;
    } else if (static_cast<std::size_t>(status.st_size) != wanted) {
        errno = EINVAL;
        return OpenResult::Failed;
    }

    void* view = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED)
        return OpenResult::Failed;
    address = view;
    size = wanted;
    return created ? OpenResult::Created : OpenResult::Opened;
}

void SharedMemory::Close() noexcept
{
    if (address != nullptr) {
        ::munmap(address, size);
        address = nullptr;
        size = 0;
    }
}

bool SharedMemory::Remove(const std::wstring& name, SharedScope scope)
{
    return ::shm_unlink(SharedObjectPath(name, scope).c_str()) == 0;
}

// Marks are read locks of open file descriptions (F_OFD_*) on the block's
// bytes: each holder opens the object itself, so its locks are its own even
// within one process, and the kernel drops them when the holder closes its
// descriptor or its process dies.

bool SharedMark::Open(const std::wstring& name, SharedScope scope)
{
    handle.Reset(HandleOf(::shm_open(SharedObjectPath(name, scope).c_str(), O_RDONLY | O_CLOEXEC, 0)));
    struct stat status {};
    if (handle.IsValid() && (::fstat(Fd(handle.Get()), &status) != 0 ||
                             !IsTrustedObject(status, scope, LookUpPrintSystem()))) {
        handle.Reset();
        errno = EACCES;
    }
    return handle.IsValid();
}

bool SharedMark::Hold(std::size_t offset)
{
    struct flock mark {};
    mark.l_type = F_RDLCK;
    mark.l_whence = SEEK_SET;
    mark.l_start = static_cast<off_t>(offset);
    mark.l_len = 1;
    return handle.IsValid() && ::fcntl(Fd(handle.Get()), F_OFD_SETLK, &mark) == 0;
}

bool SharedMark::IsHeldByOthers(std::size_t offset) const
{
    // A write lock would conflict with any other holder's mark, and never
    // with our own.
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = static_cast<off_t>(offset);
    probe.l_len = 1;
    return handle.IsValid() && ::fcntl(Fd(handle.Get()), F_OFD_GETLK, &probe) == 0 &&
           probe.l_type != F_UNLCK;
}

}  // namespace Quillet::Platform
