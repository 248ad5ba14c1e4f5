// ClassifyReportedError on Windows: the C runtime's texts for EACCES, EPERM,
// ENOSPC and ENOMEM (and ENOMEM's number), and the system's own messages for
// ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_WRITE_PROTECT and
// ERROR_NOT_ENOUGH_MEMORY.
#include "platform/win32/Internal.h"

#include "platform/ReportedError.h"

#include <cerrno>
#include <string>

namespace Quillet::Platform {

ReportedError ClassifyReportedError(std::string_view text)
{
    const auto has = [text](std::string_view part) { return text.find(part) != std::string_view::npos; };
    if (has("Permission denied") || has("Operation not permitted") || has("Access is denied"))
        return ReportedError::Refused;
    if (has("No space left") || has("There is not enough space on the disk"))
        return ReportedError::DiskFull;
    if (has("Read-only file system") || has("The media is write protected"))
        return ReportedError::ReadOnly;
    if (has("Not enough memory") || has("Not enough storage") || text == std::to_string(ENOMEM))
        return ReportedError::OutOfMemory;
    return ReportedError::Other;
}

}  // namespace Quillet::Platform
