// OpenSharedObject: the create-exclusive-or-open step that SharedMemory and
// NamedMutex share. Internal to the POSIX platform layer.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>

namespace Quillet::Platform {

/// Opens the shared-memory object `path` read-write, creating it if it does
/// not exist. `created` tells whether this call created it; a new object gets
/// mode 0666 whatever the umask. Returns a close-on-exec descriptor the caller
/// owns, or -1 with errno set.
inline int OpenSharedObject(const std::string& path, bool& created)
{
    // A few rounds only for the case that the object is removed between our
    // exclusive create failing and our plain open.
    for (int attempt = 0; attempt < 3; ++attempt) {
        created = true;
        int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) {
            created = false;
            fd = ::shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
            if (fd < 0 && errno == ENOENT)
                continue;  // removed in between: create it afresh
        }
        // The umask has trimmed the mode given to shm_open; the print path's
        // processes of other users must reach the object too. Failing that
        // only narrows who can share it, so it is not an error here.
        if (fd >= 0 && created)
            (void)::fchmod(fd, 0666);
        return fd;
    }
    return -1;
}

}  // namespace Quillet::Platform
