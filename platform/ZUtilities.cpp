// ZUtilities' helpers that are the same on every system: decimal conversion,
// assignment from a C string and reading the environment.
#include "platform/ZUtilities.h"

#include <climits>
#include <cstdlib>
#include <string>

namespace Quillet {
namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f';
}

}  // namespace

bool ZUtilities::ConvertTo(const std::wstring& text, long& value)
{
    value = 0;
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    if (i == text.size() || text[i] < L'0' || text[i] > L'9')
        return false;
    // Accumulate as a negative number, whose range is the larger one, and
    // clamp instead of overflowing.
    long result = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const long digit = text[i] - L'0';
        if (result < (LONG_MIN + digit) / 10) {
            result = LONG_MIN;
        } else {
            result = result * 10 - digit;
        }
    }
    if (negative)
        value = result;
    else
        value = result == LONG_MIN ? LONG_MAX : -result;
    return true;
}

void ZUtilities::Assign(std::wstring& target, const wchar_t* source)
{
    if (source == nullptr)
        target.clear();
    else
        target = source;
}

bool ZUtilities::GetEnv(const std::string& name, std::string& value)
{
    const char* found = std::getenv(name.c_str());
    if (found == nullptr)
        return false;
    value = found;
    return true;
}

}  // namespace Quillet
