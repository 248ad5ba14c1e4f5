// Scratch folders, whole-file reads, text counts, bounded waits, shared by the
// tests; the count of open handles and the Ghostscript children come from
// support/System.h.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/System.h"

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
        path = MakeUniqueFolder(parent + "/" + name + "-");
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

}  // namespace QuilletTest
