// LastError from errno.
#include "platform/SystemError.h"

#include <cerrno>

namespace Quillet::Platform {

std::error_code LastError()
{
    return std::error_code(errno, std::system_category());
}

}  // namespace Quillet::Platform
