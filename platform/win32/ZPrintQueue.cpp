// Print queues on Windows: the spooler's printers (EnumPrintersW), the user's
// default printer (GetDefaultPrinterW, SetDefaultPrinterW), jobs (EnumJobsW,
// SetJobW), and the records of saved defaults in the user's registry.
#include "platform/win32/Internal.h"

#include "platform/NamedMutex.h"
#include "platform/TextConversion.h"
#include "platform/ZPrintQueue.h"
#include "platform/ZUtilities.h"

#include <winspool.h>

#include <atomic>
#include <string>
#include <vector>

namespace Quillet {
namespace {

/// The key of the records of saved defaults, one value per capture
/// ("PID.N" = the default printer before it, empty for none).
const wchar_t kRecordKey[] = L"Software\\Quivera\\Quillet\\SavedDefaultPrinter";
/// Serialises the records between this user's processes.
const wchar_t kRecordMutex[] = L"QV_Quillet_SavedDefaultPrinter";

std::atomic<unsigned> recordCounter{0};

/// The printers of this machine and its connections, at level 2. False when
/// the spooler cannot be asked.
bool EnumeratePrinters(std::vector<BYTE>& buffer, DWORD& count)
{
    count = 0;
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD needed = 0;
        if (::EnumPrintersW(flags, nullptr, 2, buffer.empty() ? nullptr : buffer.data(),
                            static_cast<DWORD>(buffer.size()), &needed, &count))
            return true;
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return false;
        buffer.resize(needed);
    }
    return false;
}

std::wstring Text(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

/// This process's user name, as the spooler names a job's owner.
std::wstring UserName()
{
    wchar_t name[256 + 1] = {};
    DWORD size = static_cast<DWORD>(std::size(name));
    return ::GetUserNameW(name, &size) ? std::wstring(name) : std::wstring();
}

/// The jobs of printer at level 1; empty when it cannot be asked.
std::vector<BYTE> EnumerateJobs(HANDLE printer, DWORD& count)
{
    std::vector<BYTE> buffer;
    count = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD needed = 0;
        if (::EnumJobsW(printer, 0, 0xFFFFFFFF, 1, buffer.empty() ? nullptr : buffer.data(),
                        static_cast<DWORD>(buffer.size()), &needed, &count))
            return buffer;
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        buffer.resize(needed);
    }
    count = 0;
    return {};
}

ZPrintJob::State JobState(DWORD status)
{
    if (status & (JOB_STATUS_DELETED | JOB_STATUS_DELETING | JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE))
        return ZPrintJob::State::Ended;
    if (status & (JOB_STATUS_PAUSED | JOB_STATUS_ERROR | JOB_STATUS_BLOCKED_DEVQ | JOB_STATUS_USER_INTERVENTION))
        return ZPrintJob::State::Stopped;
    return ZPrintJob::State::Waiting;
}

/// The records key of this user, opened for reading and writing.
HKEY OpenRecords()
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kRecordKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

struct Record {
    std::wstring name;
    std::wstring saved;
};

std::vector<Record> ReadRecords(HKEY key)
{
    std::vector<Record> records;
    for (DWORD index = 0;; ++index) {
        wchar_t name[64];
        DWORD nameSize = static_cast<DWORD>(std::size(name));
        wchar_t value[1024] = {};
        DWORD valueBytes = sizeof value - sizeof(wchar_t);
        DWORD type = 0;
        const LSTATUS status = ::RegEnumValueW(key, index, name, &nameSize, nullptr, &type,
                                               reinterpret_cast<BYTE*>(value), &valueBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS && type == REG_SZ)
            records.push_back({name, value});
    }
    return records;
}

/// Whether the capture of record name ("PID.N") still runs.
bool IsLive(const std::wstring& record)
{
    long pid = 0;
    return ZUtilities::ConvertTo(record, pid) && pid > 0 &&
           ZUtilities::IsProcessAlive(static_cast<std::uint32_t>(pid));
}

}  // namespace

bool ZPrintQueue::GetPrintQueues(ZList<ZPrintQueue>& list, const wchar_t* filter)
{
    list.RemoveAll();
    std::vector<BYTE> buffer;
    DWORD count = 0;
    if (!EnumeratePrinters(buffer, count))
        return false;
    const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        // A printer's name is the one its users see; its comment, when it
        // has one, describes it.
        const std::wstring id = Text(printers[i].pPrinterName);
        const std::wstring comment = Text(printers[i].pComment);
        auto queue = std::make_unique<ZPrintQueue>(id, comment.empty() ? id : comment);
        if (filter != nullptr && queue->GetID() != filter && queue->GetName() != filter)
            continue;
        list.Add(std::move(queue));
    }
    return true;
}

std::wstring ZPrintQueue::GetDefaultPrintQueue()
{
    DWORD size = 0;
    ::GetDefaultPrinterW(nullptr, &size);
    if (size == 0)
        return std::wstring();
    std::wstring name(size, L'\0');
    if (!::GetDefaultPrinterW(name.data(), &size))
        return std::wstring();
    name.resize(name.find(L'\0') == std::wstring::npos ? name.size() : name.find(L'\0'));
    return name;
}

bool ZPrintQueue::SetDefaultPrintQueue(const std::wstring& id)
{
    ZList<ZPrintQueue> queues;
    if (id.empty() || !GetPrintQueues(queues, id.c_str()))
        return false;
    bool known = false;
    for (ZPrintQueue* queue = queues.GetHead(); queue != nullptr && !known; queue = queues.GetNext())
        known = queue->GetID() == id;
    return known && ::SetDefaultPrinterW(id.c_str()) && GetDefaultPrintQueue() == id;
}

bool ZPrintQueue::SaveUserDefault(std::wstring& record)
{
    record.clear();
    try {
        NamedMutex mutex(kRecordMutex, Platform::SharedScope::User);
        MutexLock lock(mutex);
        HKEY key = OpenRecords();
        if (key == nullptr)
            return false;
        // The default before any capture: a live capture's record holds it.
        std::wstring saved = GetDefaultPrintQueue();
        for (const Record& other : ReadRecords(key)) {
            if (IsLive(other.name)) {
                saved = other.saved;
                break;
            }
        }
        const std::wstring name =
            std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(recordCounter.fetch_add(1));
        const bool written =
            ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(saved.c_str()),
                             static_cast<DWORD>((saved.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        ::RegCloseKey(key);
        lock.Unlock();
        if (written)
            record = name;
        return written;
    } catch (const std::exception&) {
        return false;
    }
}

void ZPrintQueue::RestoreSavedDefault(const std::wstring& record)
{
    if (record.empty())
        return;
    try {
        NamedMutex mutex(kRecordMutex, Platform::SharedScope::User);
        MutexLock lock(mutex);
        HKEY key = OpenRecords();
        if (key == nullptr)
            return;
        std::wstring saved;
        bool found = false, othersLive = false;
        for (const Record& entry : ReadRecords(key)) {
            if (entry.name == record) {
                saved = entry.saved;
                found = true;
            } else if (IsLive(entry.name)) {
                othersLive = true;
            }
        }
        ::RegDeleteValueW(key, record.c_str());
        ::RegCloseKey(key);
        // Only the last live capture puts the default back.
        if (found && !othersLive && !saved.empty())
            ::SetDefaultPrinterW(saved.c_str());
        lock.Unlock();
    } catch (const std::exception&) {
        // Nothing to restore from: the default stays as the capture left it.
    }
}

void ZPrintQueue::RestoreAbandonedDefaults()
{
    try {
        NamedMutex mutex(kRecordMutex, Platform::SharedScope::User);
        MutexLock lock(mutex);
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kRecordKey, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
            return;  // no capture ever saved a default: cheap
        const std::vector<Record> records = ReadRecords(key);
        bool anyLive = false;
        std::wstring saved;
        bool anyDead = false;
        for (const Record& entry : records) {
            if (IsLive(entry.name)) {
                anyLive = true;
            } else {
                saved = entry.saved;
                anyDead = true;
                ::RegDeleteValueW(key, entry.name.c_str());
            }
        }
        ::RegCloseKey(key);
        if (anyDead && !anyLive && !saved.empty())
            ::SetDefaultPrinterW(saved.c_str());
        lock.Unlock();
    } catch (const std::exception&) {
    }
}

bool ZPrintQueue::FindJob(const std::wstring& titlePart, ZPrintJob& job)
{
    job = ZPrintJob();
    std::vector<BYTE> buffer;
    DWORD count = 0;
    if (!EnumeratePrinters(buffer, count))
        return false;
    const std::wstring user = UserName();
    const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        HANDLE printer = nullptr;
        std::wstring name = Text(printers[i].pPrinterName);
        if (!::OpenPrinterW(name.data(), &printer, nullptr))
            continue;
        DWORD jobCount = 0;
        const std::vector<BYTE> jobs = EnumerateJobs(printer, jobCount);
        ::ClosePrinter(printer);
        const auto* entries = reinterpret_cast<const JOB_INFO_1W*>(jobs.data());
        for (DWORD j = 0; j < jobCount; ++j) {
            const JOB_INFO_1W& entry = entries[j];
            if (!EqualIgnoringCase(Text(entry.pUserName), user) ||
                Text(entry.pDocument).find(titlePart) == std::wstring::npos)
                continue;
            // The newest: the spooler numbers jobs in the order they come.
            if (job.state != ZPrintJob::State::Missing && static_cast<std::int32_t>(entry.JobId) < job.id)
                continue;
            job.state = JobState(entry.Status);
            job.id = static_cast<std::int32_t>(entry.JobId);
            job.queue = name;
            job.message = ToUtf8(Text(entry.pStatus));
            job.queuePaused = (printers[i].Status & (PRINTER_STATUS_PAUSED | PRINTER_STATUS_PENDING_DELETION)) != 0 ||
                              (printers[i].Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE) != 0;
        }
    }
    return true;
}

bool ZPrintQueue::CancelJob(std::int32_t id)
{
    // Job ids are the spooler's, unique across its printers: the printer
    // that has it deletes it.
    std::vector<BYTE> buffer;
    DWORD count = 0;
    if (id <= 0 || !EnumeratePrinters(buffer, count))
        return false;
    const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        HANDLE printer = nullptr;
        std::wstring name = Text(printers[i].pPrinterName);
        if (!::OpenPrinterW(name.data(), &printer, nullptr))
            continue;
        const bool cancelled =
            ::SetJobW(printer, static_cast<DWORD>(id), 0, nullptr, JOB_CONTROL_DELETE) != FALSE;
        ::ClosePrinter(printer);
        if (cancelled)
            return true;
    }
    return false;
}

}  // namespace Quillet
