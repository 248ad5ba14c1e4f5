// JobHeader: the print-job header scan, with the run's secret tag.
#include "engine/JobHeader.h"

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

std::string JobHeader::Begin()
{
    std::lock_guard<std::mutex> guard(lock);
    tag = kTagStart + NewSecret();
    lines.Reset(tag);
    seen = false;
    copies = 0;
    collate = false;
    orientation = 0;
    return tag;
}

std::string JobHeader::GetTag()
{
    std::lock_guard<std::mutex> guard(lock);
    if (tag.empty()) {
        tag = kTagStart + NewSecret();
        lines.Reset(tag);
    }
    return tag;
}

void JobHeader::Scan(const char* bytes, std::size_t count)
{
    std::lock_guard<std::mutex> guard(lock);
    if (seen)
        return;
    // Only a line that begins with the tag is looked at: the job's own text,
    // however much of it, is passed over at once.
    lines.Scan(bytes, count, [this](const std::string& line) {
        ReadLine(line);
        return !seen;
    });
}

void JobHeader::ReadLine(const std::string& line)
{
    // Only the prolog's line counts, exactly in its form: the job may print
    // anything, but it cannot know the run's tag.
    std::size_t at = 0;
    std::int64_t copiesRead = 0;
    std::int64_t collateRead = 0;
    std::int64_t orientationRead = 0;
    if (!ExpectText(line, at, tag.c_str()) || !ExpectText(line, at, " Copies=") ||
        !ReadNumber(line, at, copiesRead) || !ExpectText(line, at, ";Collate=") ||
        !ReadNumber(line, at, collateRead) || !ExpectText(line, at, ";Orientation=") ||
        !ReadNumber(line, at, orientationRead) || !ExpectText(line, at, ";") || at != line.size())
        return;
    seen = true;
    copies = copiesRead;
    collate = collateRead == 1;
    // The prolog says 1 to 4; anything else would mean no orientation, not a
    // value to hold pages back for.
    orientation = orientationRead >= 1 && orientationRead <= 4 ? static_cast<std::int32_t>(orientationRead) : 1;
}

}  // namespace Quillet
