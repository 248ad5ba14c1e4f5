// The system's own preference store on POSIX: there is none.
#include "support/SystemStore.h"

namespace QuilletTest {

bool WriteSystemPreference(const std::wstring&, const std::wstring&, const std::wstring&)
{
    return false;
}

void RemoveSystemPreferences(const std::wstring&) {}

}  // namespace QuilletTest
