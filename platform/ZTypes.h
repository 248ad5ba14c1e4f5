// Status codes and the opaque OS handle value shared by the platform interfaces.
#pragma once

#include <cstdint>

namespace Quillet {

/// Status of a base-library call: 0 is success, anything else a failure.
enum tagZBASESTAT : std::int32_t {
    ZBASE_OK = 0,
    ZBASE_FAILED = 1,
    ZBASE_TIMEOUT = 2,
    ZBASE_STOPPED = 3,
    ZBASE_DISCONNECTED = 11,  ///< the IPC client has gone
};

namespace Platform {

/// An OS handle as an opaque value: a file descriptor on POSIX, a HANDLE on
/// Win32. Only platform/ code makes one from an OS value or reads the value
/// back. "No handle" (kInvalidHandle) and "a source that could not be opened"
/// (kNullHandle) are states of their own, not reserved numbers: no number is
/// free of meaning on every OS (Windows' -1 and -2 are the current process's
/// and thread's pseudo-handles, 0 is standard input on POSIX), so neither can
/// ever compare equal to a live handle.
class NativeHandle {
public:
    using Value = std::intptr_t;

    /// No handle: kInvalidHandle.
    constexpr NativeHandle() noexcept = default;
    /// A live handle with the OS value value. The OS part turns the values it
    /// uses for "none" into kInvalidHandle itself, before they get here.
    static constexpr NativeHandle FromValue(Value value) noexcept { return NativeHandle(value, State::Live); }
    /// A job source that names something which could not be opened: kNullHandle.
    static constexpr NativeHandle Null() noexcept { return NativeHandle(0, State::Null); }

    /// True for a live OS handle (neither kInvalidHandle nor kNullHandle).
    constexpr bool IsValid() const noexcept { return state == State::Live; }
    /// The OS value of a live handle; 0 for the others, which the OS part
    /// must not hand to the OS.
    constexpr Value GetValue() const noexcept { return value; }

    friend constexpr bool operator==(NativeHandle a, NativeHandle b) noexcept
    {
        return a.state == b.state && a.value == b.value;
    }
    friend constexpr bool operator!=(NativeHandle a, NativeHandle b) noexcept { return !(a == b); }

private:
    enum class State : unsigned char { Invalid, Null, Live };
    constexpr NativeHandle(Value value, State state) noexcept : value(value), state(state) {}

    Value value = 0;
    State state = State::Invalid;
};

/// No handle at all: an empty slot, a closed standard stream, a failed open.
inline constexpr NativeHandle kInvalidHandle{};
/// A job source that names something which could not be opened: a run on it
/// fails with a reason instead of refusing to start. Never passed to the OS.
inline constexpr NativeHandle kNullHandle = NativeHandle::Null();
static_assert(kInvalidHandle != kNullHandle && !kInvalidHandle.IsValid() && !kNullHandle.IsValid());
static_assert(kInvalidHandle != NativeHandle::FromValue(0) && kNullHandle != NativeHandle::FromValue(0) &&
              kInvalidHandle != NativeHandle::FromValue(-1) && kNullHandle != NativeHandle::FromValue(-2));

}  // namespace Platform
}  // namespace Quillet
