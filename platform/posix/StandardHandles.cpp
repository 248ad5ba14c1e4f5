// Standard output and error on POSIX: descriptors 1 and 2 when open.
#include "platform/StandardHandles.h"

#include "platform/posix/Internal.h"

#include <fcntl.h>

namespace Quillet::Platform {

namespace {

NativeHandle IfOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) >= 0 ? HandleOf(fd) : kInvalidHandle;
}

}  // namespace

NativeHandle StandardOutput()
{
    return IfOpen(1);
}

NativeHandle StandardError()
{
    return IfOpen(2);
}

}  // namespace Quillet::Platform
