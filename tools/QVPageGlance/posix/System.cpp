// The POSIX side of the preview's System.h: fstat of descriptor 0, getpid.
#include "../System.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Preview {

bool JobOnStandardInput()
{
    struct stat info {};
    if (::fstat(0, &info) != 0)
        return false;
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISREG(info.st_mode);
}

long ProcessId()
{
    return static_cast<long>(::getpid());
}

}  // namespace Preview
