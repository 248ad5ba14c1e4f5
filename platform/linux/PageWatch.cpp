// PageWatch on inotify: one non-blocking instance per watched folder, whose
// IN_CLOSE_WRITE events are the writer's closes.
#include "platform/PageWatch.h"

#include "platform/SystemError.h"
#include "platform/TextConversion.h"
#include "platform/posix/Internal.h"

#include <cerrno>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Quillet::Platform {

/// The names (without folder) of the files closed after writing since Open.
struct PageWatch::Closed {
    std::set<std::string> names;
};

namespace {

std::string NameOf(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L'/');
    return ToUtf8(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

}  // namespace

PageWatch::PageWatch() : closed(std::make_unique<Closed>()) {}

PageWatch::~PageWatch() = default;

std::error_code PageWatch::Open(const std::wstring& folder)
{
    Close();
    // Non-blocking so that Rearm can drain without waiting for more events.
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return LastError();
    UniqueHandle owner(HandleOf(fd));
    // IN_ONLYDIR: a path that is not a folder is an error, not a file watch.
    if (inotify_add_watch(fd, ToUtf8(folder).c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ONLYDIR) < 0)
        return LastError();
    handle = std::move(owner);
    return std::error_code();
}

bool PageWatch::IsOpen() const
{
    return handle.IsValid();
}

void PageWatch::Rearm()
{
    if (!handle.IsValid())
        return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(Fd(handle.Get()), buffer, sizeof buffer);
        if (n > 0) {
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                // A file closed because its writer died counts too.
                if ((event->mask & IN_CLOSE_WRITE) != 0 && event->len > 0)
                    closed->names.insert(event->name);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
}

PageSigns PageWatch::Look(const std::wstring& file, const std::wstring& nextFile, bool writerEnded) const
{
    PageSigns signs;
    signs.closed = writerEnded || closed->names.count(NameOf(file)) != 0;
    // Anything but a folder, links followed: what a writer's next file is.
    struct stat info {};
    signs.nextBegun = !nextFile.empty() && ::stat(ToUtf8(nextFile).c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
    return signs;
}

void PageWatch::Close()
{
    handle.Reset();
    closed->names.clear();
}

}  // namespace Quillet::Platform
