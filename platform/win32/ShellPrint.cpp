// Printing a document on Windows: a stub that refuses with a reason. The port
// will use ShellExecuteExW with the "print" and "printto" verbs.
#include "platform/win32/Internal.h"

#include "platform/ShellPrint.h"

namespace Quillet::Platform {

bool ShellPrint(const std::wstring&, const std::wstring&, std::string* failure)
{
    if (failure != nullptr)
        *failure = "Printing a document is not supported on Windows yet";
    SetNotSupported();
    return false;
}

}  // namespace Quillet::Platform
