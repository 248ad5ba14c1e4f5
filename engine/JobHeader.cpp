// The print-job header scan: the one line single_copy.ps writes on
// Ghostscript's standard output, "TAG Copies=N;Collate=B;Orientation=O;",
// picked out of whatever else the job prints.
#include "engine/RIPEngine.h"

#include <cstdint>
#include <random>

namespace Quillet {

namespace {

// What Ghostscript reads before the job: a PostScript comment, so a run
// without the prolog (split/merge) takes it for one.
const char kTagStart[] = "%QuilletRun ";

/// A run's secret: 128 bits from the system's random source, in hex.
std::string NewSecret()
{
    std::random_device random;
    static const char digits[] = "0123456789abcdef";
    std::string secret;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t word = random();
        for (int k = 0; k < 8; ++k, word >>= 4)
            secret += digits[word & 0xF];
    }
    return secret;
}

}  // namespace

std::string RIPEngine::BeginHeaderScan()
{
    std::lock_guard<std::mutex> guard(headerLock);
    headerTag = kTagStart + NewSecret();
    headerLines.Reset(headerTag);
    headerSeen = false;
    jobCopies = 0;
    jobCollate = false;
    jobOrientation = 0;
    return headerTag;
}

std::string RIPEngine::GetHeaderTag()
{
    std::lock_guard<std::mutex> guard(headerLock);
    if (headerTag.empty()) {
        headerTag = kTagStart + NewSecret();
        headerLines.Reset(headerTag);
    }
    return headerTag;
}

void RIPEngine::ScanJobHeader(const char* bytes, std::size_t count)
{
    std::lock_guard<std::mutex> guard(headerLock);
    if (headerSeen)
        return;
    // Only a line that begins with the tag is looked at: the job's own text,
    // however much of it, is passed over at once.
    headerLines.Scan(bytes, count, [this](const std::string& line) {
        ReadHeaderLine(line);
        return !headerSeen;
    });
}

void RIPEngine::ReadHeaderLine(const std::string& line)
{
    // Only the prolog's line counts, exactly in its form: the job may print
    // anything, but it cannot know the run's tag.
    std::size_t at = 0;
    std::int64_t copies = 0;
    std::int64_t collate = 0;
    std::int64_t orientation = 0;
    if (!ExpectText(line, at, headerTag.c_str()) || !ExpectText(line, at, " Copies=") ||
        !ReadNumber(line, at, copies) || !ExpectText(line, at, ";Collate=") || !ReadNumber(line, at, collate) ||
        !ExpectText(line, at, ";Orientation=") || !ReadNumber(line, at, orientation) || !ExpectText(line, at, ";") ||
        at != line.size())
        return;
    headerSeen = true;
    jobCopies = copies;
    jobCollate = collate == 1;
    // The prolog says 1 to 4; anything else would mean no orientation, not a
    // value to hold pages back for.
    jobOrientation = orientation >= 1 && orientation <= 4 ? static_cast<std::int32_t>(orientation) : 1;
}

}  // namespace Quillet
