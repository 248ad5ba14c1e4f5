// ZUtilities and ZHelper on POSIX: environment, sleeping, process ids,
// processor count and unique file-name prefixes (thread ids and the library's
// folder are Linux's, in platform/linux/ZUtilities.cpp).
#include "platform/ZUtilities.h"

#include "platform/TextConversion.h"
#include "platform/posix/Internal.h"
#include "platform/posix/Leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Quillet {
namespace {

/// True when some entry of dir begins with prefix. A folder that cannot be
/// read holds nothing that could clash.
bool AnyEntryStartsWith(const std::string& dir, const std::string& prefix)
{
    DIR* stream = ::opendir(dir.empty() ? "." : dir.c_str());
    if (stream == nullptr)
        return false;
    bool found = false;
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            found = true;
            break;
        }
    }
    ::closedir(stream);
    return found;
}

}  // namespace

std::wstring ZUtilities::GetUniqueFilePrefix(const std::wstring& dir)
{
    // "qv" + pid + "n" + per-process counter + six letters. The pid and the
    // counter make the prefix unique among live processes of this pid
    // namespace; the letters end the decimal counter unambiguously and guard
    // against pid reuse. No "_" so that "prefix_%03d" stays unambiguous.
    static std::atomic<unsigned long> counter{0};
    const std::string nativeDir = ToUtf8(dir);
    for (;;) {
        const unsigned long serial = counter.fetch_add(1, std::memory_order_relaxed);
        const std::string prefix = "qv" + std::to_string(::getpid()) + "n" +
                                   std::to_string(serial) + ToUtf8(Platform::RandomLetters());
        if (!AnyEntryStartsWith(nativeDir, prefix))
            return FromUtf8(prefix);
    }
}

void ZUtilities::RemoveAbandonedFiles(const std::wstring& dir, const std::wstring& marker)
{
    const std::string mark = ToUtf8(marker);
    if (dir.empty() || mark.empty())
        return;
    Platform::RemoveLeftovers(ToUtf8(dir), [&mark](const std::string& name) {
        // "qv" + pid + "n", as GetUniqueFilePrefix makes them.
        char* end = nullptr;
        const long pid = name.compare(0, 2, "qv") == 0 ? std::strtol(name.c_str() + 2, &end, 10) : 0;
        return pid > 0 && *end == 'n' && name.find(mark) != std::string::npos ? pid : 0L;
    });
}

void ZUtilities::sleep(std::uint32_t milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

bool ZUtilities::IsProcessAlive(std::uint32_t processId)
{
    return ::kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH;
}

int ZUtilities::GetOnlineProcessorCount()
{
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

std::wstring ZUtilities::GetConfigurationFolder(const std::wstring& prefix)
{
    std::wstring folder = prefix;
    while (folder.size() > 1 && folder.back() == L'/')
        folder.pop_back();
    if (folder == L"/" || folder == L"/usr")
        return L"/etc";
    return folder + L"/etc";
}

std::uint32_t ZHelper::GetThisProcessID()
{
    return static_cast<std::uint32_t>(::getpid());
}

}  // namespace Quillet
