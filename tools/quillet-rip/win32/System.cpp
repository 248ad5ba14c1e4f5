// The Windows side of quillet-rip's System.h: _isatty, binary standard
// streams, and a console control handler for Ctrl-C, Ctrl-Break and the
// console's close, which the system runs on a thread of its own.
#include "../System.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>

namespace Rip {

bool IsTerminal(std::FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

void UseBinaryStandardStreams()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

struct InterruptWatch::State {
    std::function<void(int)> onInterrupt;
    std::atomic<bool> fired{false};
};

namespace {

std::atomic<InterruptWatch::State*> watching{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event)
{
    InterruptWatch::State* state = watching.load();
    if (state == nullptr || state->fired.exchange(true))
        return TRUE;
    // Ctrl-C as the interrupt request (130), the others as termination (143).
    state->onInterrupt(event == CTRL_C_EVENT ? 130 : 143);
    return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch(std::function<void(int status)> onInterrupt) : state(new State)
{
    state->onInterrupt = std::move(onInterrupt);
    watching = state;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    watching = nullptr;
    delete state;
}

}  // namespace Rip
