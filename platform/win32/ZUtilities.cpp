// ZUtilities and ZHelper on Windows: the process and thread ids and whether
// they are alive (OpenProcess, OpenThread), the processor count, sleeping,
// unique file-name prefixes and the sweep of their leftovers, the library's
// folder (GetModuleHandleExW and GetModuleFileNameW on its own code) and the
// installation's configuration folder.
#include "platform/win32/Files.h"

#include "platform/Paths.h"
#include "platform/ZUtilities.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <thread>

namespace Quillet {
namespace {

/// True when some entry of dir begins with prefix, ignoring case as the
/// system's names do. A folder that cannot be read holds nothing that could
/// clash.
bool AnyEntryStartsWith(const std::wstring& dir, const std::wstring& prefix)
{
    bool found = false;
    Platform::ForEachEntry(dir.empty() ? L"." : dir, [&](const WIN32_FIND_DATAW& entry) {
        found = found || _wcsnicmp(entry.cFileName, prefix.c_str(), prefix.size()) == 0;
    });
    return found;
}

/// True while the object of an OpenProcess or OpenThread answer has not
/// ended. An id the system does not know is gone; one we may not open is of
/// another user and counts as alive.
bool IsRunning(HANDLE object)
{
    if (object == nullptr)
        return ::GetLastError() != ERROR_INVALID_PARAMETER;
    const bool running = ::WaitForSingleObject(object, 0) == WAIT_TIMEOUT;
    ::CloseHandle(object);
    return running;
}

}  // namespace

std::wstring ZUtilities::GetUniqueFilePrefix(const std::wstring& dir)
{
    // "qv" + process id + "n" + per-process counter + six letters, as on
    // every system: the id and the counter make it unique among live
    // processes, the letters end the counter and guard against a recycled id.
    static std::atomic<unsigned long> counter{0};
    for (;;) {
        const unsigned long serial = counter.fetch_add(1, std::memory_order_relaxed);
        const std::wstring prefix =
            L"qv" + std::to_wstring(::GetCurrentProcessId()) + L"n" + std::to_wstring(serial) + Platform::RandomLetters();
        if (!AnyEntryStartsWith(dir, prefix))
            return prefix;
    }
}

void ZUtilities::RemoveAbandonedFiles(const std::wstring& dir, const std::wstring& marker)
{
    if (dir.empty() || marker.empty())
        return;
    Platform::RemoveLeftovers(dir, [&marker](const std::wstring& name) {
        // "qv" + process id + "n", as GetUniqueFilePrefix makes them.
        wchar_t* end = nullptr;
        const long pid = name.compare(0, 2, L"qv") == 0 ? std::wcstol(name.c_str() + 2, &end, 10) : 0;
        return pid > 0 && *end == L'n' && name.find(marker) != std::wstring::npos ? pid : 0L;
    });
}

std::wstring ZUtilities::GetConfigurationFolder(const std::wstring& prefix)
{
    // An installation keeps its store in its own folder; there is no
    // system-wide one.
    return Platform::JoinPath({Platform::WithoutTrailingSeparators(prefix), L"etc"});
}

void ZUtilities::sleep(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint32_t ZUtilities::GetCurrentThreadID()
{
    return static_cast<std::uint32_t>(::GetCurrentThreadId());
}

bool ZUtilities::IsThreadAlive(std::uint32_t threadId)
{
    return IsRunning(::OpenThread(SYNCHRONIZE, FALSE, threadId));
}

bool ZUtilities::IsProcessAlive(std::uint32_t processId)
{
    return IsRunning(::OpenProcess(SYNCHRONIZE, FALSE, processId));
}

int ZUtilities::GetOnlineProcessorCount()
{
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

std::wstring ZUtilities::GetLibraryFolder()
{
    static const std::wstring folder = [] {
        // The module that holds this function: the DLL, or the program it is
        // linked into.
        HMODULE module = nullptr;
        if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  reinterpret_cast<LPCWSTR>(&ZUtilities::GetLibraryFolder), &module))
            return std::wstring();
        std::wstring file(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = ::GetModuleFileNameW(module, file.data(), static_cast<DWORD>(file.size()));
            if (length == 0)
                return std::wstring();
            if (length < file.size()) {
                file.resize(length);
                break;
            }
            if (file.size() >= 32768)
                return std::wstring();
            file.resize(file.size() * 2);
        }
        // Links resolved: the folder the file really is in.
        const HANDLE opened = ::CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (opened != INVALID_HANDLE_VALUE) {
            const std::wstring real = Platform::FinalPathOf(opened);
            ::CloseHandle(opened);
            if (!real.empty())
                file = real;
        }
        return Platform::FolderOf(file);
    }();
    return folder;
}

std::uint32_t ZHelper::GetThisProcessID()
{
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

}  // namespace Quillet
