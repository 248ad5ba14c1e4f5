// A folder every user may write in (mode 0777), a write lock held through an
// open file description of its own (F_OFD_SETLK) and a pipe name's FIFO, on
// POSIX.
#include "support/FileAccess.h"

#include "platform/TextConversion.h"

#include "platform/FileHandle.h"

#include <chrono>
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

std::thread ServePipe(const std::wstring& name, const std::string& text, int delayMs, bool* made)
{
    // The pipe folder is shared by every user, as /tmp is.
    const std::string folder = Quillet::ToUtf8(Quillet::Platform::PipeFolder());
    if (::mkdir(folder.c_str(), 01777) == 0)
        ::chmod(folder.c_str(), 01777);
    const std::string fifo = Quillet::ToUtf8(Quillet::Platform::PipePath(name));
    ::unlink(fifo.c_str());
    *made = ::mkfifo(fifo.c_str(), 0600) == 0;
    if (!*made)
        return std::thread([] {});
    return std::thread([fifo, text, delayMs] {
        // Opening for writing waits for the reader.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (fd >= 0) {
            if (::write(fd, text.data(), text.size()) < 0) {
            }
            ::close(fd);
        }
        ::unlink(fifo.c_str());
    });
}

}  // namespace QuilletTest
