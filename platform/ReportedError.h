// ClassifyReportedError: what a child's own report of an OS error says, read
// from the text its C library gave it, for telling a refused file from a full
// or read-only disk.
#pragma once

#include <string_view>

namespace Quillet::Platform {

enum class ReportedError {
    Other,        ///< none of the below, or no text
    Refused,      ///< the system refused the access (permission, or not permitted)
    DiskFull,     ///< no space left on the device
    ReadOnly,     ///< the file system is read-only
    OutOfMemory,  ///< memory could not be allocated
};

/// The kind of error a child's message text names, as this system's C
/// library words it (the child runs on the same system), or the bare error
/// number some children print instead; Other for any text it does not
/// recognise.
ReportedError ClassifyReportedError(std::string_view text);

}  // namespace Quillet::Platform
