// The reasons a run past one of its bounds fails with, the same whichever
// stage (the office layout, Ghostscript) went past it.
#pragma once

#include <cstdint>
#include <string>

namespace Quillet {

/// A bound in bytes as reasons name it: "2 GiB", "500 MB", or bytes.
inline std::string BoundBytes(std::uint64_t bytes)
{
    constexpr std::uint64_t kMegabyte = 1 << 20;
    constexpr std::uint64_t kGigabyte = 1 << 30;
    if (bytes % kGigabyte == 0)
        return std::to_string(bytes / kGigabyte) + " GiB";
    return bytes % kMegabyte == 0 ? std::to_string(bytes / kMegabyte) + " MB" : std::to_string(bytes) + " bytes";
}

inline std::string WroteTooMuch(std::uint64_t limit)
{
    return "the job wrote more than its limit of " + BoundBytes(limit);
}

inline std::string NeededTooMuchMemory(std::uint64_t bound)
{
    return "the job needed more than its memory bound of " + BoundBytes(bound);
}

}  // namespace Quillet
