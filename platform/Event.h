// Event: a waitable flag, set by one thread and waited for by others, also
// through the event loop.
#pragma once

#include "platform/FileHandle.h"
#include "platform/ZTypes.h"

namespace Quillet::Platform {

/// A signalled/not-signalled flag whose wait handle becomes readable while it
/// is set. An auto-reset event is cleared by the waiter that consumes it; a
/// manual-reset event stays set until Reset. Owned by one object (usually the
/// runner's record); every operation may be called from any thread.
class Event {
public:
    /// Creates the event, not set. Throws std::runtime_error when the OS
    /// object cannot be created.
    explicit Event(bool manualReset);
    ~Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    /// Sets the event; setting a set event changes nothing.
    void Set();
    /// Clears the event.
    void Reset();
    /// Returns whether the event was set. An auto-reset event is cleared by
    /// this call (only one of several consumers gets true); a manual-reset
    /// event is left as it is. Never waits.
    bool Consume();
    /// Waits at most timeoutMs (negative: no bound) for the event, then
    /// Consume()s it. True when it was set; false on time-out.
    bool Wait(int timeoutMs);

    /// Readable while the event is set; for the event loop.
    NativeHandle GetWaitHandle() const { return handle.Get(); }
    bool IsManualReset() const { return manualReset; }

private:
    UniqueHandle handle;
    bool manualReset;
};

}  // namespace Quillet::Platform
