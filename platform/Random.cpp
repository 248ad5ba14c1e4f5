// The random letters of unique names, over the system's random bytes.
#include "platform/Random.h"

#include <chrono>

namespace Quillet::Platform {

std::wstring RandomLetters()
{
    unsigned char bytes[6] = {};
    if (!FillRandom(bytes, sizeof bytes)) {
        auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(ticks);
            ticks = ticks * 6364136223846793005ULL + 1442695040888963407ULL;
            ticks ^= ticks >> 29;
        }
    }
    std::wstring letters;
    for (unsigned char b : bytes)
        letters.push_back(static_cast<wchar_t>(L'a' + b % 26));
    return letters;
}

}  // namespace Quillet::Platform
