// ShellPrint: has the print system print a document of any type.
#pragma once

#include <string>

namespace Quillet::Platform {

/// Prints file. queue not empty ("printto"): the queue whose queue name
/// equals it ignoring case, or whose display name equals it exactly; empty
/// ("print"): the default queue. The job's title is the file's name. The
/// print server converts the document for the queue by its type (office
/// documents are laid out by the library's office processes instead, and
/// never come here). Blocks until the print server has accepted or refused
/// the job.
/// True when the job was accepted. Otherwise failure, when given, gets one
/// line of English naming the cause: the file cannot be read, the print
/// server cannot be reached, the queue is not installed (or there is no
/// default), the server refused the document's type or the job. Never
/// throws except on allocation.
bool ShellPrint(const std::wstring& file, const std::wstring& queue, std::string* failure = nullptr);

}  // namespace Quillet::Platform
