// WaitAny: waiting for the first of several handles to become ready.
#pragma once

#include "platform/ZTypes.h"

#include <cstddef>

namespace Quillet::Platform {

/// WaitAny's result when nothing became ready within the time-out.
inline constexpr int kWaitTimeout = -1;
/// WaitAny's result when the wait itself failed or a handle is not usable
/// (kInvalidHandle, or a closed one).
inline constexpr int kWaitFailed = -2;

/// One entry of a wait set: ready when readable (forWrite false) or writable
/// (forWrite true). Either way an entry whose other side is gone (hang-up) or
/// that has an error pending counts as ready, so the caller's next read or
/// write sees the end or the error.
struct WaitItem {
    NativeHandle handle;
    bool forWrite;
};

/// Waits until at least one handle is readable (or hung up), at most timeoutMs
/// (0: just look; negative: no bound). Returns the lowest ready index,
/// kWaitTimeout or kWaitFailed (also for an empty set, which could never
/// become ready). Interruptions are retried with the time left.
int WaitAny(const NativeHandle* handles, std::size_t count, int timeoutMs);

/// The same over entries that may ask for writability.
int WaitAny(const WaitItem* items, std::size_t count, int timeoutMs);

}  // namespace Quillet::Platform
