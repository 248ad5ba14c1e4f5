// The print-job header scan: "Collate=", "Copies=" and "Orientation=" picked
// out of Ghostscript's standard output.
#include "engine/RIPEngine.h"

#include "engine/RIPEngineImpl.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace Quillet {

namespace {

// headerText grows to at most this many characters before its start is cut
// off; the last kKeptCharacters stay, so that a key and its value split across
// two pieces of output are still found.
constexpr std::size_t kMaxHeaderText = 1024;
constexpr std::size_t kKeptCharacters = 100;

/// The value after the first occurrence of key in text, converted as strtol
/// does with base 0 and clamped to 32 bits. False when the key is missing or
/// no ";" follows the start of the key anywhere in text.
bool FindValue(const std::string& text, const char* key, std::size_t keyLength, std::int32_t& value)
{
    const std::size_t at = text.find(key, 0, keyLength);
    if (at == std::string::npos || text.find(';', at) == std::string::npos)
        return false;
    // text is a std::string: its storage ends in a NUL, which stops strtol.
    const long number = std::strtol(text.c_str() + at + keyLength, nullptr, 0);
    if (number > INT32_MAX)
        value = INT32_MAX;
    else if (number < INT32_MIN)
        value = INT32_MIN;
    else
        value = static_cast<std::int32_t>(number);
    return true;
}

}  // namespace

void RIPEngine::ScanJobHeader(const char* bytes, std::size_t count)
{
    if (count == 0)
        return;
    bool orientationFound = false;
    {
        std::lock_guard<std::mutex> guard(headerLock);
        headerText.append(bytes, count);
        std::int32_t value = 0;
        if (FindValue(headerText, "Collate=", 8, value))
            jobCollate = (value == 1);
        if (jobCopies.load() == 0 && FindValue(headerText, "Copies=", 7, value))
            jobCopies = static_cast<std::int64_t>(value);
        if (jobOrientation.load() == 0 && FindValue(headerText, "Orientation=", 12, value)) {
            jobOrientation = value;
            orientationFound = value != 0;
        }
        if (headerText.size() > kMaxHeaderText)
            headerText.erase(0, headerText.size() - kKeptCharacters);
    }
    // Pages held back for the orientation can go now.
    if (orientationFound)
        impl->NotifyPageWaiters();
}

}  // namespace Quillet
