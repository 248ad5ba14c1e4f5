// PrivateFolder: moving a folder between owners and removing it with the last,
// the same on every system.
#include "platform/PrivateFolder.h"

#include <utility>

namespace Quillet::Platform {

PrivateFolder::~PrivateFolder()
{
    Remove();
}

PrivateFolder::PrivateFolder(PrivateFolder&& other) noexcept : path(std::move(other.path))
{
    other.path.clear();
}

PrivateFolder& PrivateFolder::operator=(PrivateFolder&& other) noexcept
{
    if (this != &other) {
        Remove();
        path = std::move(other.path);
        other.path.clear();
    }
    return *this;
}

}  // namespace Quillet::Platform
