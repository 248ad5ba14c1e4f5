// The POSIX side of quillet-rip's System.h: isatty, and a thread that waits
// for SIGINT and SIGTERM, which every other thread keeps blocked.
#include "../System.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <thread>

namespace Rip {

bool IsTerminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

void UseBinaryStandardStreams()
{
    // Text and binary streams are the same here.
}

struct InterruptWatch::State {
    std::function<void(int)> onInterrupt;
    std::atomic<bool> ending{false};
    std::thread waiter;
};

InterruptWatch::InterruptWatch(std::function<void(int status)> onInterrupt) : state(new State)
{
    state->onInterrupt = std::move(onInterrupt);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t requests;
    sigemptyset(&requests);
    sigaddset(&requests, SIGINT);
    sigaddset(&requests, SIGTERM);
    // Inherited by every thread started from here on.
    ::pthread_sigmask(SIG_BLOCK, &requests, nullptr);
    State* s = state;
    s->waiter = std::thread([s, requests] {
        // Polled, so that the destructor can end the wait.
        const timespec tick{0, 100 * 1000 * 1000};
        while (!s->ending.load()) {
            const int signal = ::sigtimedwait(&requests, nullptr, &tick);
            if (signal == SIGINT || signal == SIGTERM) {
                s->onInterrupt(128 + signal);
                return;
            }
        }
    });
}

InterruptWatch::~InterruptWatch()
{
    state->ending = true;
    state->waiter.join();
    delete state;
}

}  // namespace Rip
