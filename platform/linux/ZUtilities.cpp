// ZUtilities on Linux: thread ids (gettid, /proc), the library's folder
// (dladdr1, /proc/self/exe) and random bytes (getrandom).
#include "platform/ZUtilities.h"

#include "platform/TextConversion.h"
#include "platform/posix/Internal.h"

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdlib>

namespace Quillet {

namespace Platform {

bool FillRandom(void* bytes, std::size_t size)
{
    return ::getrandom(bytes, size, GRND_NONBLOCK) == static_cast<ssize_t>(size);
}

}  // namespace Platform

std::uint32_t ZUtilities::GetCurrentThreadID()
{
    return static_cast<std::uint32_t>(::gettid());
}

bool ZUtilities::IsThreadAlive(std::uint32_t threadId)
{
    // Every task of the pid namespace, thread or process, has a /proc entry
    // by its id (threads are hidden from listings, not from lookups).
    const std::string path = "/proc/" + std::to_string(threadId);
    return ::access(path.c_str(), F_OK) == 0;
}

std::wstring ZUtilities::GetLibraryFolder()
{
    static const std::wstring folder = [] {
        std::string file;
        Dl_info info{};
        link_map* map = nullptr;
        if (::dladdr1(reinterpret_cast<void*>(&ZUtilities::GetLibraryFolder), &info,
                      reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
            map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
            file = map->l_name;
        } else {
            // Linked into the main program, which has no name in its link
            // map (dladdr would report argv[0], which need not be a path).
            char buffer[PATH_MAX];
            const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
            if (length > 0)
                file.assign(buffer, static_cast<std::size_t>(length));
        }
        // Also a library found through a relative LD_LIBRARY_PATH entry.
        if (char* real = file.empty() ? nullptr : ::realpath(file.c_str(), nullptr)) {
            file = real;
            ::free(real);
        }
        if (file.empty() || file[0] != '/')
            return std::wstring();
        const std::size_t slash = file.rfind('/');
        return FromUtf8(slash == 0 ? "/" : file.substr(0, slash));
    }();
    return folder;
}

}  // namespace Quillet
