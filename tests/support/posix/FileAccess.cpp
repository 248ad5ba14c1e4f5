// A folder every user may write in (mode 0777) and a write lock held through
// an open file description of its own (F_OFD_SETLK), on POSIX.
#include "support/FileAccess.h"

#include "platform/TextConversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QuilletTest {

bool LetEveryoneWrite(const std::wstring& folder)
{
    return ::chmod(Quillet::ToUtf8(folder).c_str(), 0777) == 0;
}

std::shared_ptr<void> LockForWriting(const std::wstring& path, std::uint64_t offset, std::uint64_t length)
{
    const int fd = ::open(Quillet::ToUtf8(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = static_cast<off_t>(length);
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<void>(new int(fd), [](void* held) {
        ::close(*static_cast<int*>(held));
        delete static_cast<int*>(held);
    });
}

}  // namespace QuilletTest
