// What quillet-rip needs of the OS beyond standard C++: whether a stream is a
// terminal, binary standard streams, and Ctrl-C / SIGTERM turned into a stop.
#pragma once

#include <cstdio>
#include <functional>

namespace Rip {

/// True when stream is a terminal (progress lines go only there).
bool IsTerminal(std::FILE* stream);

/// Puts standard input and output in binary mode (documents and pages go
/// through them byte for byte).
void UseBinaryStandardStreams();

/// Turns the interrupt and terminate requests of the user or the system into a
/// call of onInterrupt(exit status the tool should end with: 130 or 143) on a
/// thread of its own, once. Made on the main thread before any other thread
/// starts, so that the request is never delivered to a thread of the library;
/// the children the library starts get the default handling back. Writing to a
/// closed pipe becomes a failed write instead of the end of the process.
class InterruptWatch {
public:
    struct State;

    explicit InterruptWatch(std::function<void(int status)> onInterrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    State* state;
};

}  // namespace Rip
