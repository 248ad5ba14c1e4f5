// Scratch folders, whole-file reads, text counts, bounded waits, the count of
// open descriptors and the Ghostscript children, shared by the tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace QuilletTest {

/// A sanitizer build: its instrumented programs reserve terabytes of shadow
/// memory, which no memory bound on a child (RLIMIT_DATA) lets them map.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

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

/// How many times what occurs in text, overlaps included.
inline std::size_t CountOf(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

/// Polls until done() holds, for at most timeoutMs; its last answer. A bound
/// for waits on other processes, never a measure of speed.
template <typename Condition>
bool Eventually(Condition done, int timeoutMs = 10000)
{
    for (int waited = 0; waited < timeoutMs && !done(); waited += 25)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return done();
}

/// How many descriptors this process has open; only those on target (as
/// /proc shows it, e.g. "anon_inode:inotify") when one is given.
inline std::size_t OpenDescriptorCount(const std::string& target = std::string())
{
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        count += target.empty() || std::filesystem::read_symlink(entry.path(), error).string() == target;
    }
    return count;
}

/// Processes named name (Ghostscript by default; any when null) whose parent
/// is parentId, this process by default (other suites may run children of
/// their own in the same process); zombies are gone already.
inline std::vector<int> ChildrenOfThisProcess(int parentId = ::getpid(), const char* name = "gs")
{
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
