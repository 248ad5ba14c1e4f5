// ClassifyReportedError on Windows: the C runtime's texts for EACCES, EPERM,
// ENOSPC, EROFS and ENOMEM (and ENOMEM's number), and the system's messages
// for ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_WRITE_PROTECT and
// ERROR_NOT_ENOUGH_MEMORY/ERROR_OUTOFMEMORY, each as Windows words it and as
// Wine does (its runtime takes the POSIX wording), where the tests run.
#include "platform/win32/Internal.h"

#include "platform/ReportedError.h"

#include <cerrno>
#include <string>

namespace Quillet::Platform {

ReportedError ClassifyReportedError(std::string_view text)
{
    const auto has = [text](std::string_view part) { return text.find(part) != std::string_view::npos; };
    if (has("Permission denied") || has("Operation not permitted") || has("Access is denied") ||
        has("Access denied"))
        return ReportedError::Refused;
    if (has("No space left") || has("There is not enough space on the disk") || has("Disk full"))
        return ReportedError::DiskFull;
    if (has("Read-only file system") || has("The media is write protected") || has("Write protected"))
        return ReportedError::ReadOnly;
    // "Not enough space" is the Windows runtime's ENOMEM; the disk's own
    // message, lower case, was taken above.
    if (has("Not enough space") || has("Not enough memory") || has("Not enough storage") || has("Out of memory") ||
        has("Cannot allocate memory") || text == std::to_string(ENOMEM))
        return ReportedError::OutOfMemory;
    return ReportedError::Other;
}

}  // namespace Quillet::Platform
