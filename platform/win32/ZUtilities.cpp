// ZUtilities and ZHelper on Windows: the process and thread ids, the
// processor count, sleeping and the environment are the system's (one call
// each); the rest are stubs that find nothing. The port will take the
// library's folder from GetModuleFileNameW on its own module.
#include "platform/win32/Internal.h"

#include "platform/Paths.h"
#include "platform/ZUtilities.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace Quillet {

std::wstring ZUtilities::GetUniqueFilePrefix(const std::wstring&)
{
    Platform::ThrowNotSupported("Unique file names");
}

void ZUtilities::RemoveAbandonedFiles(const std::wstring&, const std::wstring&)
{
}

std::wstring ZUtilities::GetConfigurationFolder(const std::wstring& prefix)
{
    // An installation keeps its store in its own folder; there is no system-wide one.
    return Platform::JoinPath({prefix, L"etc"});
}

void ZUtilities::sleep(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint32_t ZUtilities::GetCurrentThreadID()
{
    return static_cast<std::uint32_t>(::GetCurrentThreadId());
}

bool ZUtilities::IsThreadAlive(std::uint32_t)
{
    return true;  // the safe answer: what a live thread owns is never taken
}

bool ZUtilities::IsProcessAlive(std::uint32_t)
{
    return true;  // the safe answer: what a live process left is never removed
}

int ZUtilities::GetOnlineProcessorCount()
{
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

std::wstring ZUtilities::GetLibraryFolder()
{
    return std::wstring();
}

std::uint32_t ZHelper::GetThisProcessID()
{
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

}  // namespace Quillet
