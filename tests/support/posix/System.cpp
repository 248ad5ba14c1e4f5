// The test support's OS calls on Linux: mkdtemp, setenv, /proc.
#include "support/System.h"

#include "support/Files.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace QuilletTest {

std::string MakeUniqueFolder(const std::string& prefix)
{
    std::string pattern = prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch folder " + pattern);
    return pattern;
}

void SetEnvironmentValue(const std::string& name, const char* value)
{
    if (value)
        ::setenv(name.c_str(), value, 1);
    else
        ::unsetenv(name.c_str());
}

std::string RunningProgramPath()
{
    return "/proc/self/exe";
}

int CurrentProcessId()
{
    return ::getpid();
}

std::size_t OpenDescriptorCount(const std::string& target)
{
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        count += target.empty() || std::filesystem::read_symlink(entry.path(), error).string() == target;
    }
    return count;
}

std::vector<int> ChildrenOfThisProcess(int parentId, const char* name)
{
    if (parentId == 0)
        parentId = ::getpid();
    std::vector<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const int pid = std::atoi(entry.path().filename().c_str());
        if (pid <= 0)
            continue;
        // A process that ends meanwhile (anyone's) cannot be read: none of ours.
        std::string stat;
        try {
            stat = ReadWholeFile(entry.path().string() + "/stat");
        } catch (const std::ios_base::failure&) {
            continue;
        }
        const std::size_t close = stat.rfind(')');
        char state = 0;
        int parent = 0;
        if (close != std::string::npos && (name == nullptr || stat.find("(" + std::string(name) + ")") != std::string::npos) &&
            std::istringstream(stat.substr(close + 2)) >> state >> parent && parent == parentId && state != 'Z')
            children.push_back(pid);
    }
    return children;
}

}  // namespace QuilletTest
