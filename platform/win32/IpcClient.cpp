// The job-key endpoint's client on Windows: a stub that finds no server. The
// port will connect to the server's named pipe.
#include "platform/win32/Internal.h"

#include "platform/IpcClient.h"

namespace Quillet::Platform {

IpcReportResult ReportJob(const std::wstring&, const std::wstring&, const std::wstring&, int, const std::wstring&)
{
    SetNotSupported();
    return IpcReportResult::NoServer;
}

}  // namespace Quillet::Platform
