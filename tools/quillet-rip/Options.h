// quillet-rip's command line: the options, their defaults, the exit codes.
#pragma once

#include <quillet/quillet.h>

#include <string>
#include <utility>
#include <vector>

namespace Rip {

extern const char* const kProgram;

// Exit codes, one per kind of failure; with several documents the largest of
// theirs, and an interrupt's above all.
constexpr int kExitRenderFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCaptureFailed = 3;
constexpr int kExitPassword = 4;
constexpr int kExitOutput = 5;

struct Options {
    std::vector<std::string> names;  // documents, folders, "-" for standard input
    std::string fromList;            // a file of names, "-" for standard input
    std::string outputFolder;        // empty: a new folder in the temporary directory
    bool toStandardOutput = false;
    std::string namePattern;         // empty: PageNames' defaults
    Quillet::RIPFormat format = Quillet::RIP_PNG16M;
    long resolution = 150;
    long pageWidth = 0, pageHeight = 0;
    long fitWidth = 0, fitHeight = 0;
    bool antiAliasing = true;
    long jpegQuality = 0;  // 0: the renderer's own
    bool cie = false;
    bool ttFont = false;
    bool splitMerge = false;
    std::string customParams;
    bool ijsModelGiven = false;
    std::string ijsManufacturer, ijsModel;
    bool ijsParamsGiven = false;
    std::string ijsParams;
    bool callback = false;
    bool quiet = false;
    bool json = false;
    long jobs = 0;  // 0: one per processor
    long shard = 0, shards = 0;  // --shard K/N: every N-th document from the K-th; 0: all
    bool redo = false;  // also documents whose pages an earlier run completed
    // The library's bounds unless the command line sets others (0: none).
    long long timeLimit = Quillet::IRIPBase::kDefaultTimeLimit;
    long long maxOutputMb = Quillet::IRIPBase::kDefaultMaxOutputBytes >> 20;
    long long maxMemoryMb = Quillet::IRIPBase::kDefaultMaxMemoryBytes >> 20;
    long long maxPages = Quillet::IRIPBase::kDefaultMaxPages;
    long long maxPagePixels = Quillet::IRIPBase::kDefaultMaxPagePixels;
    std::string passwordFile;
    /// Page ranges in order, none overlapping (last 0: to the end); empty: every page.
    std::vector<std::pair<long, long>> pages;
};

/// True for the formats that write one file for the whole document.
bool IsSingleFileFormat(Quillet::RIPFormat format);

/// Reads the command line; exits for --help, --version and usage errors.
Options ParseCommandLine(int argc, char** argv);

/// Prints "quillet-rip: message" and the hint to --help; exits with kExitUsage.
[[noreturn]] void UsageError(const std::string& message);

}  // namespace Rip
