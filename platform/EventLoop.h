// EventLoop: one thread's wait for completions: bytes read from a pipe or a
// job source, a pipe's end, bytes written, a child's end, a folder's change,
// an event set.
#pragma once

#include "platform/ZTypes.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>

namespace Quillet::Platform {

class ChildProcess;
class Event;
class PageWatch;

/// What one completion reports.
enum class CompletionKind {
    Read,        ///< bytes arrived from a reader or source: data, size
    Ended,       ///< a reader's or source's writer closed its end and every byte
                 ///< was delivered; the object is forgotten
    Written,     ///< a writer's pipe took every byte of its last Write (size:
                 ///< how many); the writer takes the next Write
    Failed,      ///< a read or a write failed (error: why; broken_pipe for a
                 ///< write whose reader has gone); the object is forgotten
    Locked,      ///< a source: the part still to be read is locked by its
                 ///< writer; reading is paused until SetReading resumes it
    ChildEnded,  ///< a child ended; the child is forgotten (it ends once)
    Changed,     ///< a folder watch has changes pending (again until re-armed)
    Signalled,   ///< an event is set (again until it is consumed or reset)
};

/// One completion of an object added with key.
struct Completion {
    CompletionKind kind = CompletionKind::Read;
    std::uint64_t key = 0;
    /// Read: the bytes, valid until the next call on the loop.
    const char* data = nullptr;
    /// Read: bytes read; Written: bytes written.
    std::size_t size = 0;
    std::error_code error;
};

/// The objects one thread waits for, each under a key of the caller's, and
/// the completions they deliver. The loop never waits on readiness the
/// caller must act on: it does the reads and writes itself and reports what
/// they did, as overlapped transfers on a completion port do, so a system
/// that has no readiness for pipes can meet the same contract. Any number of
/// objects may be added; an implementation that waits on a bounded number
/// of objects at once (64 on Windows) must gather them itself.
///
/// Order: the completions of one reader come in the order of its bytes, its
/// Ended (or Failed) last; among completions that are ready together, the
/// lowest key comes first. The loop owns none of the handles: the caller
/// removes an object before it closes or destroys it. Used by one thread.
class EventLoop {
public:
    /// Most bytes one Read completion carries.
    static constexpr std::size_t kReadSize = 8192;
    /// Most bytes one Write takes.
    static constexpr std::size_t kWriteSize = 64 * 1024;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    /// The read end of a pipe of ours (made non-blocking here): its bytes
    /// come as Read completions, then Ended.
    void AddReader(NativeHandle pipe, std::uint64_t key);
    /// A job's source, which someone else owns and which is left as it is
    /// (a file, a pipe, a FIFO, a terminal): read by ReadSource's rules, so a
    /// part its writer holds locked gives Locked and pauses reading.
    void AddSource(NativeHandle source, std::uint64_t key);
    /// The write end of a pipe of ours (made non-blocking here), written
    /// through Write.
    void AddWriter(NativeHandle pipe, std::uint64_t key);
    /// A child: ChildEnded once it has ended (its end is then
    /// ChildProcess::TryGetEnd's).
    void AddChild(const ChildProcess& child, std::uint64_t key);
    /// A folder watch: Changed while changes are pending.
    void AddWatch(const PageWatch& watch, std::uint64_t key);
    /// An event: Signalled while it is set.
    void AddEvent(const Event& event, std::uint64_t key);
    /// Forgets key (an unknown key is ignored): nothing more comes for it,
    /// including completions that were ready, and bytes given to Write that
    /// are not yet in the pipe are dropped.
    void Remove(std::uint64_t key);
    /// True while key is added and not forgotten.
    bool Has(std::uint64_t key) const;

    /// Pauses (false) or resumes (true) the reads of a reader or source: a
    /// paused object is not read, so its writer waits once its pipe is full.
    /// Objects start reading.
    void SetReading(std::uint64_t key, bool on);

    /// Gives writer key up to kWriteSize bytes of data (copied) and returns
    /// how many it took: 0 while its last Write is not done, or when key is
    /// no writer. Written follows once all of them are in the pipe, Failed
    /// when the pipe's reader has gone.
    std::size_t Write(std::uint64_t key, const void* data, std::size_t size);
    /// True while writer key has bytes not yet in its pipe.
    bool IsWriting(std::uint64_t key) const;

    /// The next completion, waiting at most timeoutMs (negative: no bound);
    /// nothing on time-out. Interruptions are resumed with the time left.
    /// Throws std::runtime_error when the system's wait itself fails.
    std::optional<Completion> Wait(int timeoutMs);
    /// The next completion of reader or source key that needs no wait (bytes
    /// that have arrived, its end, its failure); nothing when there is none
    /// now, when it is paused, or when key is no reader.
    std::optional<Completion> Take(std::uint64_t key);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Quillet::Platform
