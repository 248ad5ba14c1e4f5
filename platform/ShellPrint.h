// ShellPrint: has the print system print a document of any type.
#pragma once

#include <string>

namespace Quillet::Platform {

/// Prints file. queue not empty ("printto"): the queue whose queue name
/// equals it ignoring case, or whose display name equals it exactly; empty
/// ("print"): the default queue. The job's title is the file's name. Office
/// documents, which the print system cannot convert, are laid out as PDF by
/// the office suite (soffice --headless, with a private profile) when it is
/// installed, and that PDF is printed under the file's name; without the
/// suite, or when it cannot load the document, printing fails. Blocks until
/// the print server has accepted or refused the job (for an office document,
/// the suite is given at most 60 s).
/// True when the job was accepted. Otherwise failure, when given, gets one
/// line of English naming the cause: the file cannot be read, the print
/// server cannot be reached, the queue is not installed (or there is no
/// default), the office suite is not installed or cannot load the document,
/// the server refused the document's type or the job. Never throws except on
/// allocation.
bool ShellPrint(const std::wstring& file, const std::wstring& queue, std::string* failure = nullptr);

}  // namespace Quillet::Platform
