// The system's form of a Confinement, and its application in a new child.
#pragma once

#include "platform/Confinement.h"
#include "platform/FileHandle.h"

#include <cstdint>
#include <linux/filter.h>
#include <vector>

namespace Quillet::Platform {

struct Confinement::Prepared {
    /// False when confinement was turned off: nothing is applied.
    bool confined = false;
    /// The system offers file rules, but these could not be prepared.
    bool failed = false;
    /// The Landlock ruleset (kInvalidHandle without Landlock), close-on-exec
    /// and above the standard descriptors.
    UniqueHandle ruleset;
    /// The seccomp program; empty without seccomp filters.
    std::vector<sock_filter> filter;
    std::uint64_t maxFileBytes = 0;
    std::uint64_t maxMemoryBytes = 0;
    bool privateFiles = true;
};

/// Applies p to the calling process, for good: resource limits, no new
/// privileges, the ruleset, the filter. Made for a child between fork and
/// exec: only async-signal-safe system calls, nothing allocated. Returns 0,
/// or the error number of the step that failed (the child must then not run
/// its program).
int ApplyConfinement(const Confinement::Prepared& p) noexcept;

}  // namespace Quillet::Platform
