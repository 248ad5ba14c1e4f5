// Anonymous pipes and their non-blocking reads and writes, which the event
// loop does for its users.
#pragma once

#include "platform/FileHandle.h"
#include "platform/ZTypes.h"

#include <cstddef>

namespace Quillet::Platform {

/// Both ends of one anonymous pipe; each end is owned, close-on-exec and
/// blocking when created.
struct PipePair {
    UniqueHandle read;
    UniqueHandle write;
};

/// Creates a pipe into out (replacing what out held). False on failure
/// (LastError says why); out is then empty. A system whose pipes have names
/// names this one after nameStem (null: a stem of the library's own) and
/// this process, unique among the pipes that exist; others ignore it.
bool CreatePipe(PipePair& out, const wchar_t* nameStem = nullptr);

/// Switches a handle between blocking and non-blocking transfers. False on
/// failure (LastError says why).
bool SetNonBlocking(NativeHandle handle, bool on);

/// Asks for a pipe buffer of about bytes (the system rounds up to its page
/// size). Best effort: false when the size cannot be changed, and the pipe
/// then keeps its default.
bool SetPipeCapacity(NativeHandle handle, std::size_t bytes);

/// Outcome of one ReadSome or WriteSome.
enum class IoStatus {
    Ok,          ///< count bytes were transferred (at least one, unless size was 0)
    WouldBlock,  ///< non-blocking handle: nothing can be transferred now
    End,         ///< read: the writer closed its end and all data was read
    Error,       ///< the transfer failed (LastError says why); for writes this
                 ///< includes a pipe whose reader has gone
};

/// Reads up to size bytes. Interrupted reads are retried. count holds the
/// bytes read (0 unless Ok). On a blocking handle waits until some data, the
/// end or an error.
IoStatus ReadSome(NativeHandle handle, void* buffer, std::size_t size, std::size_t& count);

/// Writes up to size bytes; count holds the bytes written (a non-blocking pipe
/// may take only part). Interrupted writes are retried. A write to a pipe
/// whose reader has gone returns Error and never raises a signal that would
/// end the host process; the calling thread's signal state is left as it was.
IoStatus WriteSome(NativeHandle handle, const void* buffer, std::size_t size, std::size_t& count);

/// The pipe's buffer size in bytes, or -1 when it cannot be read.
int PipeCapacity(NativeHandle handle);

}  // namespace Quillet::Platform
