// FNV-1a hashing of bytes and values, for fingerprints of folders' contents.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quillet::Platform {

constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

/// hash with count bytes of data mixed in.
inline std::uint64_t Mix(std::uint64_t hash, const void* data, std::size_t count)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * kFnvPrime;
    return hash;
}

/// hash with the bytes of a value mixed in.
template <typename T>
std::uint64_t MixValue(std::uint64_t hash, T value)
{
    return Mix(hash, &value, sizeof value);
}

}  // namespace Quillet::Platform
