// MillisecondsUntil: the time left to a deadline as a wait takes it, for every
// wait of the library that runs against a deadline.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace Quillet::Platform {

/// Milliseconds from now until when: 0 once it has passed, at most 2^30.
/// Rounded up: a wait cut short of the moment would find nothing due and
/// wait again, for 0 ms, until the moment came.
inline int MillisecondsUntil(std::chrono::steady_clock::time_point when)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<std::int64_t>(left, 1 << 30)) : 0;
}

}  // namespace Quillet::Platform
