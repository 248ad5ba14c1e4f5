// ClassifyReportedError on POSIX: the C library's English texts for EACCES,
// EPERM, ENOSPC, EROFS and ENOMEM, which a child prints unless it translates
// them, and ENOMEM's number.
#include "platform/ReportedError.h"

#include <cerrno>
#include <string>

namespace Quillet::Platform {

ReportedError ClassifyReportedError(std::string_view text)
{
    const auto has = [text](std::string_view part) { return text.find(part) != std::string_view::npos; };
    if (has("Permission denied") || has("Operation not permitted"))
        return ReportedError::Refused;
    if (has("No space left"))
        return ReportedError::DiskFull;
    if (has("Read-only file system"))
        return ReportedError::ReadOnly;
    if (has("Cannot allocate memory") || text == std::to_string(ENOMEM))
        return ReportedError::OutOfMemory;
    return ReportedError::Other;
}

}  // namespace Quillet::Platform
