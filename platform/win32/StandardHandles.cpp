// The process's standard output and error on Windows: GetStdHandle, which
// gives nullptr (no console, nothing given) or INVALID_HANDLE_VALUE for one
// that is closed.
#include "platform/win32/Internal.h"

#include "platform/StandardHandles.h"

namespace Quillet::Platform {

NativeHandle StandardOutput()
{
    return HandleOf(::GetStdHandle(STD_OUTPUT_HANDLE));
}

NativeHandle StandardError()
{
    return HandleOf(::GetStdHandle(STD_ERROR_HANDLE));
}

}  // namespace Quillet::Platform
