// Print queues on Windows: stubs for which the print server cannot be asked
// (ERROR_CALL_NOT_IMPLEMENTED). The port will use the spooler's
// EnumPrintersW, SetDefaultPrinterW and EnumJobsW.
#include "platform/win32/Internal.h"

#include "platform/ZPrintQueue.h"

namespace Quillet {

bool ZPrintQueue::GetPrintQueues(ZList<ZPrintQueue>&, const wchar_t*)
{
    Platform::SetNotSupported();
    return false;
}

std::wstring ZPrintQueue::GetDefaultPrintQueue()
{
    Platform::SetNotSupported();
    return std::wstring();
}

bool ZPrintQueue::SetDefaultPrintQueue(const std::wstring&)
{
    Platform::SetNotSupported();
    return false;
}

bool ZPrintQueue::SaveUserDefault(std::wstring& record)
{
    record.clear();
    Platform::SetNotSupported();
    return false;
}

void ZPrintQueue::RestoreSavedDefault(const std::wstring&)
{
}

void ZPrintQueue::RestoreAbandonedDefaults()
{
}

bool ZPrintQueue::FindJob(const std::wstring&, ZPrintJob& job)
{
    job = ZPrintJob();
    Platform::SetNotSupported();
    return false;
}

bool ZPrintQueue::CancelJob(std::int32_t)
{
    Platform::SetNotSupported();
    return false;
}

}  // namespace Quillet
