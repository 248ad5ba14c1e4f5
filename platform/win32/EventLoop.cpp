// EventLoop on Windows: every object has one waitable handle that is
// signalled while it has something to report: a pipe's overlapped transfer
// (a zero-byte read that completes once bytes or the end have arrived, so no
// byte is ever taken that the loop does not deliver; a write), a job source's
// reader thread (someone else's handle may allow no overlapped transfer), a
// child's process handle, an event, a folder watch's event. A thread-pool wait
// on each (RegisterWaitForSingleObject) posts to one I/O completion port, on
// which the loop's thread sleeps: no wait ever names more than one handle, so
// any number of objects can be waited for. Woken, the loop looks at every
// object in key order and queues the completions of those that are ready.
#include "platform/EventLoop.h"

#include "platform/win32/PipeIo.h"

#include "platform/ChildProcess.h"
#include "platform/Event.h"
#include "platform/FileHandle.h"
#include "platform/PageWatch.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <stdexcept>
#include <vector>

namespace Quillet::Platform {

namespace {

enum class Type { Reader, Source, Writer, Child, Watch, Event };

/// The thread that reads a job's source by ReadSource's rules, one read at a
/// time when asked, so that a source that cannot be waited for (a file, a
/// synchronous pipe, a console) never holds up the loop.
struct SourceReader {
    HANDLE source = nullptr;
    UniqueHandle asked{HandleOf(::CreateEventW(nullptr, FALSE, FALSE, nullptr))};
    UniqueHandle done{HandleOf(::CreateEventW(nullptr, TRUE, FALSE, nullptr))};
    UniqueHandle thread;
    std::atomic<bool> stop{false};
    std::vector<char> buffer = std::vector<char>(EventLoop::kReadSize);
    ReadStatus status = ReadStatus::Error;
    std::size_t count = 0;
    DWORD error = 0;
    bool busy = false;

    static DWORD WINAPI Run(void* self)
    {
        auto& reader = *static_cast<SourceReader*>(self);
        for (;;) {
            ::WaitForSingleObject(ToHandle(reader.asked.Get()), INFINITE);
            if (reader.stop)
                return 0;
            ::SetLastError(0);
            reader.status = ReadSource(HandleOf(reader.source), reader.buffer.data(), reader.buffer.size(), reader.count);
            reader.error = ::GetLastError();
            ::SetEvent(ToHandle(reader.done.Get()));
        }
    }

    bool Start()
    {
        if (!asked.IsValid() || !done.IsValid())
            return false;
        thread.Reset(HandleOf(::CreateThread(nullptr, 64 * 1024, Run, this, 0, nullptr)));
        return thread.IsValid();
    }

    ~SourceReader()
    {
        if (!thread.IsValid())
            return;
        stop = true;
        ::SetEvent(ToHandle(asked.Get()));
        // A read that waits for a writer is ended; asked again until the
        // thread has left (the read may not have begun when first asked).
        while (::WaitForSingleObject(ToHandle(thread.Get()), 10) == WAIT_TIMEOUT)
            ::CancelSynchronousIo(ToHandle(thread.Get()));
    }
};

struct Entry {
    Type type = Type::Reader;
    std::uint64_t key = 0;
    HANDLE handle = nullptr;
    bool manualReset = true;
    bool reading = true;
    /// Reader: the bytes of the last Read. Writer: the bytes of the last
    /// Write, owned by the system while it is pending.
    std::vector<char> buffer;
    /// A completion is queued for this entry (one at a time, so a reader's
    /// buffer is never filled again before its bytes were delivered).
    bool queued = false;
    /// Reader and writer: the overlapped transfer in flight, on ioEvent.
    OVERLAPPED overlapped{};
    UniqueHandle ioEvent;
    bool pending = false;
    /// Writer: the error of a write the system refused at once.
    DWORD refused = 0;
    std::unique_ptr<SourceReader> source;
    /// The thread-pool wait posting to the port, and on what.
    HANDLE wait = nullptr;
    HANDLE port = nullptr;

    /// The handle signalled while this entry has news; nullptr while it
    /// waits for nothing.
    HANDLE Waitable() const
    {
        switch (type) {
        case Type::Reader:
        case Type::Writer:
            return pending ? ToHandle(ioEvent.Get()) : nullptr;
        case Type::Source:
            return source && source->busy ? ToHandle(source->done.Get()) : nullptr;
        default:
            return handle;
        }
    }

    static VOID CALLBACK Fired(void* context, BOOLEAN)
    {
        auto& entry = *static_cast<Entry*>(context);
        // A satisfied wait took an automatic event's signal: it is put back
        // for its consumer.
        if (!entry.manualReset)
            ::SetEvent(entry.handle);
        ::PostQueuedCompletionStatus(entry.port, 0, static_cast<ULONG_PTR>(entry.key), nullptr);
    }

    /// Asks the thread pool to wake the loop once Waitable() is signalled.
    void Watch()
    {
        const HANDLE what = Waitable();
        if (wait != nullptr || what == nullptr)
            return;
        if (!::RegisterWaitForSingleObject(&wait, what, Fired, this, INFINITE,
                                           WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
            throw std::runtime_error("waiting failed: " + LastError().message());
    }

    /// Ends the thread-pool wait, after its callback if that runs.
    void Unwatch()
    {
        if (wait != nullptr)
            ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
        wait = nullptr;
    }

    /// Ends a transfer in flight; the system is done with the OVERLAPPED and
    /// the buffer once this returns. A cancelled probe took no byte.
    void Cancel()
    {
        if (!pending)
            return;
        DWORD ignored = 0;
        ::CancelIoEx(handle, &overlapped);
        ::GetOverlappedResult(handle, &overlapped, &ignored, TRUE);
        pending = false;
    }

    ~Entry()
    {
        Unwatch();
        Cancel();
    }
};

bool IsSignalled(HANDLE handle)
{
    return handle != nullptr && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

}  // namespace

struct EventLoop::Impl {
    UniqueHandle port{HandleOf(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1))};
    std::map<std::uint64_t, std::unique_ptr<Entry>> entries;
    /// Completions found ready by one look, lowest key first.
    std::deque<Completion> ready;

    Impl()
    {
        if (!port.IsValid())
            throw std::runtime_error("waiting failed: " + LastError().message());
    }

    ~Impl()
    {
        // The entries' waits end before the port they post to closes.
        entries.clear();
    }

    void Add(std::uint64_t key, Type type, NativeHandle handle, bool manualReset = true)
    {
        Remove(key);
        auto entry = std::make_unique<Entry>();
        entry->type = type;
        entry->key = key;
        entry->handle = ToHandle(handle);
        entry->manualReset = manualReset;
        entry->port = ToHandle(port.Get());
        bool missing = entry->handle == nullptr;
        if (type == Type::Reader || type == Type::Writer) {
            entry->ioEvent.Reset(HandleOf(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
            if (!entry->ioEvent.IsValid())
                throw std::runtime_error("waiting failed: " + LastError().message());
        }
        if (type == Type::Reader)
            entry->buffer.resize(kReadSize);
        if (type == Type::Source && !missing) {
            entry->source = std::make_unique<SourceReader>();
            entry->source->source = entry->handle;
            if (!entry->source->Start())
                throw std::runtime_error("waiting failed: " + LastError().message());
        }
        // No object at all (an empty child, a closed pipe, a null source)
        // fails at once, instead of never being ready.
        entry->queued = missing;
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

    /// Starts what entry waits for next: a reader's probe, a source's read.
    /// A completion when that finished at once.
    void Arm(Entry& entry)
    {
        if (entry.queued || entry.pending)
            return;
        if (entry.type == Type::Reader && entry.reading) {
            entry.overlapped = OVERLAPPED{};
            entry.overlapped.hEvent = ToHandle(entry.ioEvent.Get());
            // Zero bytes: completes when bytes or the end arrive, and takes
            // none, so a loop that goes leaves every byte in the pipe.
            static char none;
            if (::ReadFile(entry.handle, &none, 0, nullptr, &entry.overlapped) ||
                ::GetLastError() == ERROR_IO_PENDING) {
                entry.pending = true;
            } else {
                // The end or a failure: reported when the pipe is read.
                ::SetEvent(ToHandle(entry.ioEvent.Get()));
                entry.pending = true;
                entry.overlapped.Internal = 0;
            }
        } else if (entry.type == Type::Source && entry.reading && !entry.source->busy) {
            entry.source->busy = true;
            ::SetEvent(ToHandle(entry.source->asked.Get()));
        }
    }

    /// The completion entry's signalled handle stands for; nothing when there
    /// is none after all (bytes Take delivered first).
    std::optional<Completion> Complete(Entry& entry)
    {
        Completion done;
        done.key = entry.key;
        const auto fail = [&](std::error_code error) {
            done.kind = CompletionKind::Failed;
            done.error = error;
            return done;
        };
        switch (entry.type) {
        case Type::Reader: {
            if (entry.pending) {
                DWORD ignored = 0;
                ::GetOverlappedResult(entry.handle, &entry.overlapped, &ignored, TRUE);
                entry.pending = false;
            }
            return ReadNow(entry);
        }
        case Type::Source: {
            SourceReader& reader = *entry.source;
            ::ResetEvent(ToHandle(reader.done.Get()));
            reader.busy = false;
            switch (reader.status) {
            case ReadStatus::Data:
                done.kind = CompletionKind::Read;
                done.data = reader.buffer.data();
                done.size = reader.count;
                return done;
            case ReadStatus::End:
                done.kind = CompletionKind::Ended;
                return done;
            case ReadStatus::Locked:
                entry.reading = false;
                done.kind = CompletionKind::Locked;
                return done;
            case ReadStatus::Error:
                break;
            }
            return fail(reader.error != 0 ? std::error_code(static_cast<int>(reader.error), std::system_category())
                                          : std::make_error_code(std::errc::io_error));
        }
        case Type::Writer: {
            DWORD count = 0;
            const BOOL ok =
                entry.refused == 0 && ::GetOverlappedResult(entry.handle, &entry.overlapped, &count, TRUE);
            const DWORD error = ok ? 0 : entry.refused != 0 ? entry.refused : ::GetLastError();
            entry.pending = false;
            entry.refused = 0;
            const std::size_t size = entry.buffer.size();
            entry.buffer.clear();
            if (!ok) {
                return fail(Win32::IsPipeGone(error) ? std::make_error_code(std::errc::broken_pipe)
                                                     : std::error_code(static_cast<int>(error), std::system_category()));
            }
            done.kind = CompletionKind::Written;
            done.size = size;
            return done;
        }
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

    /// A reader's bytes that have arrived, its end or its failure; nothing
    /// while none of these has come.
    std::optional<Completion> ReadNow(Entry& entry)
    {
        Completion done;
        done.key = entry.key;
        std::size_t count = 0;
        switch (Win32::ReadArrived(entry.handle, entry.buffer.data(), entry.buffer.size(), count)) {
        case IoStatus::Ok:
            done.kind = CompletionKind::Read;
            done.data = entry.buffer.data();
            done.size = count;
            return done;
        case IoStatus::End:
            done.kind = CompletionKind::Ended;
            return done;
        case IoStatus::WouldBlock:
            return std::nullopt;
        case IoStatus::Error:
            break;
        }
        done.kind = CompletionKind::Failed;
        done.error = LastError();
        return done;
    }

    /// Whether entry has news now. An automatic event's signal, taken by
    /// the look, is put back for its consumer.
    static bool IsReady(Entry& entry)
    {
        if (entry.queued)
            return false;
        if ((entry.type == Type::Reader || entry.type == Type::Source) && !entry.reading)
            return false;
        const HANDLE what = entry.Waitable();
        if (!IsSignalled(what))
            return false;
        if (entry.type == Type::Event && !entry.manualReset)
            ::SetEvent(what);
        return true;
    }

    /// Looks at every object in key order and queues the completions of
    /// those that are ready; then asks to be woken for the others.
    void Look()
    {
        for (auto& [key, entry] : entries)
            Arm(*entry);
        for (auto& [key, entry] : entries) {
            if (!IsReady(*entry))
                continue;
            entry->Unwatch();
            if (std::optional<Completion> done = Complete(*entry)) {
                entry->queued = true;
                ready.push_back(*done);
            } else {
                Arm(*entry);
            }
        }
        for (auto& [key, entry] : entries) {
            if (!entry->queued)
                entry->Watch();
        }
    }

    /// Sleeps on the port until a wait posts or timeoutMs passes (negative:
    /// no bound); false on time-out. Every post that came meanwhile is taken.
    bool Sleep(int timeoutMs)
    {
        OVERLAPPED_ENTRY posts[64];
        ULONG taken = 0;
        const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
        if (::GetQueuedCompletionStatusEx(ToHandle(port.Get()), posts, 64, &taken, wait, FALSE))
            return true;
        if (::GetLastError() == WAIT_TIMEOUT)
            return false;
        throw std::runtime_error("waiting failed: " + LastError().message());
    }

    Completion Pop()
    {
        Completion done = ready.front();
        ready.pop_front();
        const auto it = entries.find(done.key);
        if (it != entries.end()) {
            it->second->queued = false;
            if (done.kind == CompletionKind::Ended || done.kind == CompletionKind::Failed ||
                done.kind == CompletionKind::ChildEnded)
                entries.erase(it);
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
    // Its handle is a manual-reset event, set while changes are pending.
    impl->Add(key, Type::Watch, watch.GetWaitHandle());
}

void EventLoop::AddEvent(const Event& event, std::uint64_t key)
{
    impl->Add(key, Type::Event, event.GetWaitHandle(), event.IsManualReset());
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
        it->second->reading = on;
}

std::size_t EventLoop::Write(std::uint64_t key, const void* data, std::size_t size)
{
    const auto it = impl->entries.find(key);
    if (it == impl->entries.end())
        return 0;
    Entry& entry = *it->second;
    if (entry.type != Type::Writer || entry.pending || entry.queued)
        return 0;
    const std::size_t taken = std::min(size, kWriteSize);
    if (taken == 0)
        return 0;
    const char* bytes = static_cast<const char*>(data);
    entry.buffer.assign(bytes, bytes + taken);
    entry.overlapped = OVERLAPPED{};
    entry.overlapped.hEvent = ToHandle(entry.ioEvent.Get());
    if (!::WriteFile(entry.handle, entry.buffer.data(), static_cast<DWORD>(taken), nullptr, &entry.overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        // Refused at once (the reader has gone): reported by the next look.
        entry.refused = ::GetLastError();
        entry.overlapped.Internal = 0;
        ::SetEvent(ToHandle(entry.ioEvent.Get()));
    }
    entry.pending = true;
    return taken;
}

bool EventLoop::IsWriting(std::uint64_t key) const
{
    const auto it = impl->entries.find(key);
    return it != impl->entries.end() && it->second->type == Type::Writer &&
           (it->second->pending || it->second->queued);
}

std::optional<Completion> EventLoop::Wait(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (!impl->ready.empty())
            return impl->Pop();
        impl->Look();
        if (!impl->ready.empty())
            return impl->Pop();
        if (impl->entries.empty() && timeoutMs < 0)
            throw std::runtime_error("waiting for nothing without a time limit");
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return std::nullopt;
            wait = static_cast<int>(left);
        }
        if (!impl->Sleep(wait) && timeoutMs >= 0) {
            impl->Look();
            return impl->ready.empty() ? std::nullopt : std::optional<Completion>(impl->Pop());
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
    if (it == impl->entries.end() || !it->second->reading)
        return std::nullopt;
    Entry& entry = *it->second;
    std::optional<Completion> done;
    if (entry.type == Type::Reader) {
        done = impl->ReadNow(entry);
    } else if (entry.type == Type::Source) {
        // A source is read by its thread: what that thread has read is
        // ready; otherwise it is asked, and its answer comes through Wait.
        impl->Arm(entry);
        if (IsSignalled(ToHandle(entry.source->done.Get()))) {
            entry.Unwatch();
            done = impl->Complete(entry);
        }
    }
    if (done) {
        entry.queued = true;
        impl->ready.push_front(*done);
        return impl->Pop();
    }
    return std::nullopt;
}

}  // namespace Quillet::Platform
