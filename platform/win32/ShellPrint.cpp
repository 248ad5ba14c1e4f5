// ShellPrint on Windows: the program the system associates with the
// document's type prints it (ShellExecuteExW with "printto" for a named
// printer, "print" for the default one).
#include "platform/win32/Internal.h"

#include "platform/ShellPrint.h"
#include "platform/TextConversion.h"
#include "platform/ZList.h"
#include "platform/ZPrintQueue.h"

#include <objbase.h>
#include <shellapi.h>

#include <system_error>
#include <thread>

namespace Quillet::Platform {
namespace {

// How long the printing program is given to hand the job to the spooler.
constexpr DWORD kPrintProgramMs = 120000;

std::string BaseName(const std::wstring& path)
{
    const std::size_t separator = path.find_last_of(L"\\/");
    return ToUtf8(separator == std::wstring::npos ? path : path.substr(separator + 1));
}

/// The printer meant by queue: its name ignoring case, else its display name
/// exactly; empty when there is none.
std::wstring ResolvePrinter(const std::wstring& queue)
{
    ZList<ZPrintQueue> queues;
    if (!ZPrintQueue::GetPrintQueues(queues, nullptr))
        return std::wstring();
    for (ZPrintQueue* candidate = queues.GetHead(); candidate != nullptr; candidate = queues.GetNext()) {
        const std::wstring& id = candidate->GetID();
        if (::CompareStringOrdinal(id.c_str(), static_cast<int>(id.size()), queue.c_str(),
                                   static_cast<int>(queue.size()), TRUE) == CSTR_EQUAL)
            return id;
    }
    for (ZPrintQueue* candidate = queues.GetHead(); candidate != nullptr; candidate = queues.GetNext()) {
        if (candidate->GetName() == queue)
            return candidate->GetID();
    }
    return std::wstring();
}

/// Runs the verb on file from a thread of its own, which sets COM up as the
/// shell's handlers need without touching the host's threads. The system's
/// error code, 0 when the printing program was started (and has ended, or
/// was given kPrintProgramMs).
DWORD Execute(const std::wstring& file, const wchar_t* verb, const std::wstring& parameters)
{
    DWORD error = ERROR_SUCCESS;
    std::thread worker([&] {
        const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        info.lpVerb = verb;
        info.lpFile = file.c_str();
        info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
        info.nShow = SW_HIDE;
        if (::ShellExecuteExW(&info)) {
            if (info.hProcess != nullptr) {
                ::WaitForSingleObject(info.hProcess, kPrintProgramMs);
                ::CloseHandle(info.hProcess);
            }
        } else {
            error = ::GetLastError();
            // Some failures leave only the old-style code in hInstApp.
            const auto code = reinterpret_cast<INT_PTR>(info.hInstApp);
            if (error == ERROR_SUCCESS)
                error = code == SE_ERR_NOASSOC || code == SE_ERR_ASSOCINCOMPLETE ? ERROR_NO_ASSOCIATION
                                                                                 : ERROR_GEN_FAILURE;
        }
        if (SUCCEEDED(com))
            ::CoUninitialize();
    });
    worker.join();
    return error;
}

}  // namespace

bool ShellPrint(const std::wstring& file, const std::wstring& queue, std::string* failure)
{
    std::string reason;
    std::string& why = failure != nullptr ? *failure : reason;
    HANDLE readable = file.empty() || file.find(L'\0') != std::wstring::npos
                          ? INVALID_HANDLE_VALUE
                          : ::CreateFileW(file.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (readable == INVALID_HANDLE_VALUE) {
        why = "the document " + ToUtf8(file) + " cannot be read";
        return false;
    }
    ::CloseHandle(readable);
    std::wstring printer;
    if (queue.empty()) {
        printer = ZPrintQueue::GetDefaultPrintQueue();
        if (printer.empty()) {
            why = "there is no default print queue";
            return false;
        }
    } else {
        printer = ResolvePrinter(queue);
        if (printer.empty()) {
            why = "the print queue " + ToUtf8(queue) + " is not installed";
            return false;
        }
    }
    // "printto" takes the printer as its first parameter, quoted as one.
    const DWORD error =
        queue.empty() ? Execute(file, L"print", std::wstring()) : Execute(file, L"printto", L"\"" + printer + L"\"");
    if (error == ERROR_SUCCESS)
        return true;
    if (error == ERROR_NO_ASSOCIATION || error == ERROR_FILE_NOT_FOUND)
        why = "the document type cannot be printed: " + BaseName(file) + " (no program prints it)";
    else
        why = "the print server refused the job for " + BaseName(file) + " (" +
              std::system_category().message(static_cast<int>(error)) + ")";
    return false;
}

}  // namespace Quillet::Platform
