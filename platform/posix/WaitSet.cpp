// WaitAny over poll: the lowest ready index wins, as with the Windows wait.
#include "platform/WaitSet.h"

#include "platform/posix/Internal.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <vector>

namespace Quillet::Platform {

namespace {

// Small sets are the rule (the runner waits for four handles); they live on
// the stack.
constexpr std::size_t kStackEntries = 8;

int WaitOnEntries(pollfd* entries, std::size_t count, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    if (count == 0)
        return kWaitFailed;
    for (std::size_t i = 0; i < count; ++i)
        if (entries[i].fd < 0)
            return kWaitFailed;  // poll would skip it silently

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        const int n = poll(entries, static_cast<nfds_t>(count), wait);
        if (n > 0)
            break;
        if (n == 0)
            return kWaitTimeout;
        if (errno != EINTR)
            return kWaitFailed;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const short ready = entries[i].revents;
        if (ready & POLLNVAL)
            return kWaitFailed;  // a closed descriptor: the object is missing
        // POLLHUP and POLLERR count as ready: the caller's next transfer
        // reports the end or the error.
        if (ready & (entries[i].events | POLLHUP | POLLERR))
            return static_cast<int>(i);
    }
    return kWaitFailed;
}

template <typename Fill>
int WaitWith(std::size_t count, int timeoutMs, Fill fill)
{
    pollfd local[kStackEntries];
    std::vector<pollfd> heap;
    pollfd* entries = local;
    if (count > kStackEntries) {
        heap.resize(count);
        entries = heap.data();
    }
    for (std::size_t i = 0; i < count; ++i)
        entries[i] = fill(i);
    return WaitOnEntries(entries, count, timeoutMs);
}

}  // namespace

int WaitAny(const NativeHandle* handles, std::size_t count, int timeoutMs)
{
    return WaitWith(count, timeoutMs, [handles](std::size_t i) {
        return pollfd{Fd(handles[i]), POLLIN, 0};
    });
}

int WaitAny(const WaitItem* items, std::size_t count, int timeoutMs)
{
    return WaitWith(count, timeoutMs, [items](std::size_t i) {
        return pollfd{Fd(items[i].handle),
                      static_cast<short>(items[i].forWrite ? POLLOUT : POLLIN), 0};
    });
}

}  // namespace Quillet::Platform
