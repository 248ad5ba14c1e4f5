// Scratch folders, whole-file reads, the count of open descriptors and the
// Ghostscript children, shared by the tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace QuilletTest {

/// A file's whole content; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// Replaces (or creates) the file at path with bytes.
inline void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

/// A new folder of its own, name-XXXXXX under parent (the system's temporary
/// folder by default), removed with everything in it afterwards.
struct ScratchFolder {
    explicit ScratchFolder(const std::string& name, std::string parent = std::string())
    {
        if (parent.empty())
            parent = std::filesystem::temp_directory_path().string();
        std::string pattern = parent + "/" + name + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a scratch folder in " + parent);
        path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    /// Writes a file of the folder; its path.
    std::string Write(const std::string& name, const std::string& bytes) const
    {
        WriteWholeFile(path + "/" + name, bytes);
        return path + "/" + name;
    }

    std::string path;
};

/// How many descriptors this process has open.
inline std::size_t OpenDescriptorCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

/// Ghostscript processes whose parent is parent, this process by default
/// (other suites may run children of their own in the same process); zombies
/// are gone already.
inline std::vector<int> ChildrenOfThisProcess(int parentId = ::getpid())
{
    std::vector<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const int pid = std::atoi(entry.path().filename().c_str());
        if (pid <= 0)
            continue;
        const std::string stat = ReadWholeFile(entry.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        char state = 0;
        int parent = 0;
        if (close != std::string::npos && stat.find("(gs)") != std::string::npos &&
            std::istringstream(stat.substr(close + 2)) >> state >> parent && parent == parentId && state != 'Z')
            children.push_back(pid);
    }
    return children;
}

}  // namespace QuilletTest
