// DirWatch on inotify: one non-blocking instance per watched folder.
#include "platform/DirWatch.h"

#include "platform/SystemError.h"
#include "platform/TextConversion.h"

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace Quillet::Platform {

std::error_code DirWatch::Open(const std::wstring& folder)
{
    Close();
    // Non-blocking so that Rearm can drain without waiting for more events.
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return LastError();
    UniqueHandle owner(fd);
    // IN_ONLYDIR: a path that is not a folder is an error, not a file watch.
    if (inotify_add_watch(fd, ToUtf8(folder).c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ONLYDIR) < 0)
        return LastError();
    handle = std::move(owner);
    return std::error_code();
}

void DirWatch::Rearm()
{
    std::vector<std::wstring> ignored;
    Rearm(ignored);
}

void DirWatch::Rearm(std::vector<std::wstring>& closedFiles)
{
    if (!handle.IsValid())
        return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(static_cast<int>(handle.Get()), buffer, sizeof buffer);
        if (n > 0) {
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & IN_CLOSE_WRITE) != 0 && event->len > 0)
                    closedFiles.push_back(FromUtf8(event->name));
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
}

void DirWatch::Close()
{
    handle.Reset();
}

}  // namespace Quillet::Platform
