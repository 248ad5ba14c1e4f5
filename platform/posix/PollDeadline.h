// PollDeadline: polls one descriptor for input against a deadline fixed when
// the wait starts, so that retries after EINTR or a lost race only wait for
// the time that is left. Internal to the POSIX platform layer.
#pragma once

#include <cerrno>
#include <chrono>
#include <poll.h>

namespace Quillet::Platform {

class PollDeadline {
public:
    enum class Result { Ready, Idle, Failed };

    /// `timeoutMs` < 0 waits without a limit.
    explicit PollDeadline(int timeoutMs)
        : timeoutMs(timeoutMs), deadline(Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs))
    {
    }

    /// One poll of `fd` for input with the time left, retried after EINTR.
    /// Ready: input is there; Idle: none came in the time; Failed: poll failed.
    Result Poll(int fd)
    {
        pollfd entry{fd, POLLIN, 0};
        for (;;) {
            wait = -1;
            if (timeoutMs >= 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            const int n = ::poll(&entry, 1, wait);
            if (n > 0)
                return Result::Ready;
            if (n == 0)
                return Result::Idle;
            if (errno != EINTR)
                return Result::Failed;
        }
    }

    /// True when the last Poll had no time left: another round would only
    /// time out.
    bool Expired() const { return wait == 0; }

private:
    using Clock = std::chrono::steady_clock;
    int timeoutMs;
    Clock::time_point deadline;
    int wait = -1;
};

}  // namespace Quillet::Platform
