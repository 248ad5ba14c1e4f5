// EventLoop over poll: the loop waits for readiness itself and turns it into
// completions by doing the transfer (non-blocking reads and writes), so no
// caller ever acts on readiness. poll rather than epoll: a job's source may be
// a regular file, which epoll refuses, and the sets are small (a few objects
// per process of a run).
#include "platform/EventLoop.h"

#include "platform/ChildProcess.h"
#include "platform/PageWatch.h"
#include "platform/Event.h"
#include "platform/FileHandle.h"
#include "platform/Pipe.h"
#include "platform/SystemError.h"
#include "platform/posix/Internal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <vector>

namespace Quillet::Platform {

namespace {

enum class Type { Reader, Source, Writer, Child, Watch, Event };

struct Entry {
    Type type = Type::Reader;
    NativeHandle handle = kInvalidHandle;
    bool reading = true;
    /// Reader and source: the bytes of the last Read completion.
    std::vector<char> buffer;
    /// Writer: the bytes of the last Write, and how many are in the pipe.
    std::size_t written = 0;
    /// A completion is queued for this entry (one at a time, so a reader's
    /// buffer is never filled again before its bytes were delivered).
    bool queued = false;
};

}  // namespace

struct EventLoop::Impl {
    std::map<std::uint64_t, Entry> entries;
    /// Completions found ready by one poll, lowest key first.
    std::deque<Completion> ready;
    std::vector<pollfd> polled;
    std::vector<std::uint64_t> polledKeys;

    void Add(std::uint64_t key, Type type, NativeHandle handle)
    {
        Remove(key);
        Entry entry;
        entry.type = type;
        entry.handle = handle;
        if (type == Type::Reader || type == Type::Source)
            entry.buffer.resize(kReadSize);
        // Our own pipes: a transfer must never wait. A source stays as its
        // owner made it; it is read only once it is readable.
        if ((type == Type::Reader || type == Type::Writer) && handle.IsValid())
            SetNonBlocking(handle, true);
        // No object at all (an empty child, a closed pipe, a null source)
        // fails at once, instead of never being ready.
        const bool missing = !handle.IsValid();
        entry.queued = missing;
        entries.emplace(key, std::move(entry));
        if (missing) {
            Completion failed;
            failed.kind = CompletionKind::Failed;
            failed.key = key;
            failed.error = std::make_error_code(std::errc::bad_file_descriptor);
            ready.push_back(failed);
        }
    }

    void Remove(std::uint64_t key)
    {
        if (entries.erase(key) == 0)
            return;
        for (auto it = ready.begin(); it != ready.end();)
            it = it->key == key ? ready.erase(it) : it + 1;
    }

    /// The transfer or the news that entry's readiness stands for; nothing
    /// when there is none after all (another reader took the bytes first, a
    /// write took only part).
    std::optional<Completion> Complete(std::uint64_t key, Entry& entry, short events)
    {
        Completion done;
        done.key = key;
        const auto fail = [&](std::error_code error) {
            done.kind = CompletionKind::Failed;
            done.error = error;
            return done;
        };
        const auto finish = [&](CompletionKind kind, std::size_t count = 0) {
            done.kind = kind;
            done.data = kind == CompletionKind::Read ? entry.buffer.data() : nullptr;
            done.size = count;
            return done;
        };
        if ((events & POLLNVAL) != 0)
            return fail(std::make_error_code(std::errc::bad_file_descriptor));
        switch (entry.type) {
        case Type::Reader: {
            std::size_t count = 0;
            switch (ReadSome(entry.handle, entry.buffer.data(), entry.buffer.size(), count)) {
            case IoStatus::Ok:
                return finish(CompletionKind::Read, count);
            case IoStatus::End:
                return finish(CompletionKind::Ended);
            case IoStatus::WouldBlock:
                return std::nullopt;
            case IoStatus::Error:
                break;
            }
            return fail(LastError());
        }
        case Type::Source: {
            std::size_t count = 0;
            errno = 0;  // ReadSource may fail without a system call
            switch (ReadSource(entry.handle, entry.buffer.data(), entry.buffer.size(), count)) {
            case ReadStatus::Data:
                return finish(CompletionKind::Read, count);
            case ReadStatus::End:
                return finish(CompletionKind::Ended);
            case ReadStatus::Locked:
                entry.reading = false;
                return finish(CompletionKind::Locked);
            case ReadStatus::Error:
                break;
            }
            const std::error_code error = LastError();
            return fail(error ? error : std::make_error_code(std::errc::io_error));
        }
        case Type::Writer:
            while (entry.written < entry.buffer.size()) {
                std::size_t count = 0;
                const IoStatus status = WriteSome(entry.handle, entry.buffer.data() + entry.written,
                                                  entry.buffer.size() - entry.written, count);
                if (status == IoStatus::WouldBlock)
                    return std::nullopt;
                if (status != IoStatus::Ok) {
                    entry.buffer.clear();
                    return fail(LastError());
                }
                entry.written += count;
            }
            done.kind = CompletionKind::Written;
            done.size = entry.buffer.size();
            entry.buffer.clear();
            entry.written = 0;
            return done;
        case Type::Child:
            done.kind = CompletionKind::ChildEnded;
            return done;
        case Type::Watch:
            done.kind = CompletionKind::Changed;
            return done;
        case Type::Event:
            done.kind = CompletionKind::Signalled;
            return done;
        }
        return std::nullopt;
    }

    /// Whether entry is waited for now, and for what.
    static short EventsOf(const Entry& entry)
    {
        switch (entry.type) {
        case Type::Reader:
        case Type::Source:
            return entry.reading ? POLLIN : 0;
        case Type::Writer:
            return entry.written < entry.buffer.size() ? POLLOUT : 0;
        default:
            return POLLIN;
        }
    }

    /// One poll of every object, and the completions of those that were
    /// ready queued in key order. False on time-out.
    bool PollOnce(int timeoutMs)
    {
        polled.clear();
        polledKeys.clear();
        for (const auto& [key, entry] : entries) {
            const short events = entry.queued ? 0 : EventsOf(entry);
            if (events == 0)
                continue;
            polled.push_back(pollfd{Fd(entry.handle), events, 0});
            polledKeys.push_back(key);
        }
        if (polled.empty() && timeoutMs < 0)
            throw std::runtime_error("waiting for nothing without a time limit");
        // Nothing to wait for: only the time passes.
        const int n = ::poll(polled.data(), static_cast<nfds_t>(polled.size()), timeoutMs);
        if (n < 0) {
            if (errno == EINTR)
                return true;  // looked at again with the time left
            throw std::runtime_error("waiting failed: " + LastError().message());
        }
        if (n == 0)
            return false;
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (polled[i].revents == 0)
                continue;
            const auto it = entries.find(polledKeys[i]);
            if (it == entries.end())
                continue;
            // A hang-up or an error counts as readiness: the transfer reports
            // the end or the failure.
            if (std::optional<Completion> done = Complete(it->first, it->second, polled[i].revents)) {
                it->second.queued = true;
                ready.push_back(*done);
            }
        }
        return true;
    }

    /// Hands out the first ready completion; objects that end with it are
    /// forgotten.
    Completion Pop()
    {
        Completion done = ready.front();
        ready.pop_front();
        const auto it = entries.find(done.key);
        if (it != entries.end()) {
            it->second.queued = false;
            if (done.kind == CompletionKind::Ended || done.kind == CompletionKind::Failed ||
                done.kind == CompletionKind::ChildEnded) {
                // The bytes of a Read stay valid until the next call, but an
                // end carries none: the entry may go.
                entries.erase(it);
            }
        }
        return done;
    }
};

EventLoop::EventLoop() : impl(std::make_unique<Impl>()) {}

EventLoop::~EventLoop() = default;

void EventLoop::AddReader(NativeHandle pipe, std::uint64_t key)
{
    impl->Add(key, Type::Reader, pipe);
}

void EventLoop::AddSource(NativeHandle source, std::uint64_t key)
{
    impl->Add(key, Type::Source, source);
}

void EventLoop::AddWriter(NativeHandle pipe, std::uint64_t key)
{
    impl->Add(key, Type::Writer, pipe);
}

void EventLoop::AddChild(const ChildProcess& child, std::uint64_t key)
{
    impl->Add(key, Type::Child, child.GetWaitHandle());
}

void EventLoop::AddWatch(const PageWatch& watch, std::uint64_t key)
{
    impl->Add(key, Type::Watch, watch.GetWaitHandle());
}

void EventLoop::AddEvent(const Event& event, std::uint64_t key)
{
    impl->Add(key, Type::Event, event.GetWaitHandle());
}

void EventLoop::Remove(std::uint64_t key)
{
    impl->Remove(key);
}

bool EventLoop::Has(std::uint64_t key) const
{
    return impl->entries.count(key) != 0;
}

void EventLoop::SetReading(std::uint64_t key, bool on)
{
    const auto it = impl->entries.find(key);
    if (it != impl->entries.end())
        it->second.reading = on;
}

std::size_t EventLoop::Write(std::uint64_t key, const void* data, std::size_t size)
{
    const auto it = impl->entries.find(key);
    if (it == impl->entries.end() || it->second.type != Type::Writer || !it->second.buffer.empty() ||
        it->second.queued)
        return 0;
    const std::size_t taken = std::min(size, kWriteSize);
    const char* bytes = static_cast<const char*>(data);
    it->second.buffer.assign(bytes, bytes + taken);
    it->second.written = 0;
    return taken;
}

bool EventLoop::IsWriting(std::uint64_t key) const
{
    const auto it = impl->entries.find(key);
    return it != impl->entries.end() && it->second.type == Type::Writer &&
           (!it->second.buffer.empty() || it->second.queued);
}

std::optional<Completion> EventLoop::Wait(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        if (!impl->ready.empty())
            return impl->Pop();
        const bool any = impl->PollOnce(wait);
        if (!impl->ready.empty())
            return impl->Pop();
        if (!any && timeoutMs >= 0)
            return std::nullopt;
        // Woken without a completion (an interruption, bytes another reader
        // took): waits on with the time left.
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return std::nullopt;
            wait = static_cast<int>(left);
        }
    }
}

std::optional<Completion> EventLoop::Take(std::uint64_t key)
{
    for (auto it = impl->ready.begin(); it != impl->ready.end(); ++it) {
        if (it->key == key) {
            // Queued first: it comes before any later bytes.
            std::rotate(impl->ready.begin(), it, it + 1);
            return impl->Pop();
        }
    }
    const auto it = impl->entries.find(key);
    if (it == impl->entries.end() || !it->second.reading ||
        (it->second.type != Type::Reader && it->second.type != Type::Source))
        return std::nullopt;
    // A source is read only when it is readable now: a read of a pipe that
    // someone else owns would wait.
    if (it->second.type == Type::Source) {
        pollfd entry{Fd(it->second.handle), POLLIN, 0};
        int n;
        while ((n = ::poll(&entry, 1, 0)) < 0 && errno == EINTR) {
        }
        if (n <= 0)
            return std::nullopt;
    }
    std::optional<Completion> done = impl->Complete(key, it->second, 0);
    if (done) {
        impl->ready.push_front(*done);
        return impl->Pop();
    }
    return std::nullopt;
}

}  // namespace Quillet::Platform
