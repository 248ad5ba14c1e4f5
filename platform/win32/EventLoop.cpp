// EventLoop on Windows: a stub that holds no object, so every wait throws
// "not supported". The port will read and write overlapped named pipes (or
// anonymous pipes through reader and writer threads) whose completions post
// to one I/O completion port, and register child, event and folder-watch
// handles with thread-pool waits that post there too: one wait on the port,
// however many objects, never a WaitForMultipleObjects over more than 64.
#include "platform/win32/Internal.h"

#include "platform/EventLoop.h"

namespace Quillet::Platform {

struct EventLoop::Impl {};

EventLoop::EventLoop() : impl(std::make_unique<Impl>()) {}

EventLoop::~EventLoop() = default;

void EventLoop::AddReader(NativeHandle, std::uint64_t) {}

void EventLoop::AddSource(NativeHandle, std::uint64_t) {}

void EventLoop::AddWriter(NativeHandle, std::uint64_t) {}

void EventLoop::AddChild(const ChildProcess&, std::uint64_t) {}

void EventLoop::AddWatch(const PageWatch&, std::uint64_t) {}

void EventLoop::AddEvent(const Event&, std::uint64_t) {}

void EventLoop::Remove(std::uint64_t) {}

bool EventLoop::Has(std::uint64_t) const
{
    return false;
}

void EventLoop::SetReading(std::uint64_t, bool) {}

std::size_t EventLoop::Write(std::uint64_t, const void*, std::size_t)
{
    return 0;
}

bool EventLoop::IsWriting(std::uint64_t) const
{
    return false;
}

std::optional<Completion> EventLoop::Wait(int)
{
    ThrowNotSupported("waiting");
}

std::optional<Completion> EventLoop::Take(std::uint64_t)
{
    return std::nullopt;
}

}  // namespace Quillet::Platform
