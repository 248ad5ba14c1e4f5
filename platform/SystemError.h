// LastError: the system's error of a failed platform call as a std::error_code,
// read from the OS in this one place.
#pragma once

#include <system_error>

namespace Quillet::Platform {

/// The error the calling thread's last failed system call left (errno on
/// POSIX, GetLastError on Windows), in std::system_category: compare it with
/// std::errc values, show it with message(). Platform calls that fail
/// report this; nothing outside platform/ reads the OS's own error state.
std::error_code LastError();

}  // namespace Quillet::Platform
