// The print-job header scan: the one line single_copy.ps writes on
// Ghostscript's standard output, "TAG Copies=N;Collate=B;Orientation=O;",
// picked out of whatever else the job prints.
#include "engine/RIPEngine.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>

namespace Quillet {

namespace {

// What Ghostscript reads before the job: a PostScript comment, so a run
// without the prolog (split/merge) takes it for one.
const char kTagStart[] = "%QuilletRun ";
// A header line is short; a longer line is the job's own and is not kept.
constexpr std::size_t kMaxHeaderLine = 160;

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

/// Reads the decimal digits at text[at...] into value (saturating at
/// INT32_MAX); false when there are none.
bool ReadNumber(const std::string& text, std::size_t& at, std::int64_t& value)
{
    const std::size_t first = at;
    value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        value = std::min<std::int64_t>(value * 10 + (text[at] - '0'), INT32_MAX);
    return at > first;
}

/// Expects literal at text[at...] and moves past it.
bool Expect(const std::string& text, std::size_t& at, const char* literal)
{
    const std::string expected(literal);
    if (text.compare(at, expected.size(), expected) != 0)
        return false;
    at += expected.size();
    return true;
}

}  // namespace

std::string RIPEngine::BeginHeaderScan()
{
    std::lock_guard<std::mutex> guard(headerLock);
    headerTag = kTagStart + NewSecret();
    headerText.clear();
    headerLineTooLong = false;
    headerSeen = false;
    jobCopies = 0;
    jobCollate = false;
    jobOrientation = 0;
    return headerTag;
}

std::string RIPEngine::GetHeaderTag()
{
    std::lock_guard<std::mutex> guard(headerLock);
    if (headerTag.empty())
        headerTag = kTagStart + NewSecret();
    return headerTag;
}

void RIPEngine::ScanJobHeader(const char* bytes, std::size_t count)
{
    std::lock_guard<std::mutex> guard(headerLock);
    const char* const end = bytes + count;
    for (const char* at = bytes; at < end && !headerSeen;) {
        const char* const lineEnd = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        const char* const pieceEnd = lineEnd != nullptr ? lineEnd : end;
        // Only a line that begins with the tag is kept: the job's own text,
        // however much of it, is passed over at once.
        if (!headerLineTooLong) {
            headerText.append(at, static_cast<std::size_t>(pieceEnd - at));
            const std::size_t compared = std::min(headerText.size(), headerTag.size());
            headerLineTooLong = headerTag.empty() || headerText.size() > kMaxHeaderLine ||
                                headerText.compare(0, compared, headerTag, 0, compared) != 0;
        }
        if (lineEnd == nullptr)
            break;
        if (!headerLineTooLong)
            ReadHeaderLine(headerText);
        headerText.clear();
        headerLineTooLong = false;
        at = lineEnd + 1;
    }
}

void RIPEngine::ReadHeaderLine(const std::string& line)
{
    // Only the prolog's line counts, exactly in its form: the job may print
    // anything, but it cannot know the run's tag.
    std::size_t at = 0;
    std::int64_t copies = 0;
    std::int64_t collate = 0;
    std::int64_t orientation = 0;
    if (!Expect(line, at, headerTag.c_str()) || !Expect(line, at, " Copies=") ||
        !ReadNumber(line, at, copies) || !Expect(line, at, ";Collate=") || !ReadNumber(line, at, collate) ||
        !Expect(line, at, ";Orientation=") || !ReadNumber(line, at, orientation) || !Expect(line, at, ";") ||
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
