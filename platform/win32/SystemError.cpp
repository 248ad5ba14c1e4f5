// LastError from GetLastError.
#include "platform/win32/Internal.h"

#include "platform/SystemError.h"

namespace Quillet::Platform {

std::error_code LastError()
{
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

}  // namespace Quillet::Platform
