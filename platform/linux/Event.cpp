// Events on eventfd: the counter is non-zero while the event is set.
#include "platform/Event.h"

#include "platform/posix/Internal.h"

#include "platform/posix/PollDeadline.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Quillet::Platform {

Event::Event(bool manualReset) : manualReset(manualReset)
{
    // Non-blocking so that Reset and Consume never wait on an event that is
    // not set.
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        throw std::runtime_error("Unable to create event.");
    handle.Reset(HandleOf(fd));
}

void Event::Set()
{
    // Adding 1 keeps the counter non-zero; a counter at its limit (EAGAIN)
    // is set already.
    const std::uint64_t one = 1;
    while (write(Fd(handle.Get()), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::Reset()
{
    // One read takes the whole counter to 0; EAGAIN means it was 0.
    std::uint64_t value;
    while (read(Fd(handle.Get()), &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::Consume()
{
    const int fd = Fd(handle.Get());
    if (!manualReset) {
        // The read is atomic: of several consumers exactly one gets the value.
        std::uint64_t value;
        for (;;) {
            if (read(fd, &value, sizeof value) == sizeof value)
                return true;
            if (errno != EINTR)
                return false;
        }
    }
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        const int n = poll(&entry, 1, 0);
        if (n >= 0)
            return n == 1 && (entry.revents & POLLIN) != 0;
        if (errno != EINTR)
            return false;
    }
}

bool Event::Wait(int timeoutMs)
{
    PollDeadline deadline(timeoutMs);
    for (;;) {
        const auto result = deadline.Poll(Fd(handle.Get()));
        if (result == PollDeadline::Result::Failed)
            return false;
        // Another consumer of an auto-reset event may win the race between
        // the poll and the read; then the wait goes on with the time left.
        if (result == PollDeadline::Result::Ready && Consume())
            return true;
        if (deadline.Expired())
            return false;
    }
}

}  // namespace Quillet::Platform
