// SharedMemory: moving a mapping between owners, the same on every system.
#include "platform/SharedMemory.h"

namespace Quillet::Platform {

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : address(other.address), size(other.size), block(std::move(other.block))
{
    other.address = nullptr;
    other.size = 0;
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept
{
    if (this != &other) {
        Close();
        address = other.address;
        size = other.size;
        block = std::move(other.block);
        other.address = nullptr;
        other.size = 0;
    }
    return *this;
}

}  // namespace Quillet::Platform
