// The Windows side of the preview's System.h: the standard input handle's
// file type (a pipe or a disk file carries a job; the console and the null
// device, a character device, do not), GetCurrentProcessId.
#include <windows.h>

#include "../System.h"

namespace Preview {

bool JobOnStandardInput()
{
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = ::GetFileType(input);
    return type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK;
}

long ProcessId()
{
    return static_cast<long>(::GetCurrentProcessId());
}

}  // namespace Preview
