// GetSystemPreferences on POSIX: the system keeps no preference store; the
// installation's file is the store.
#include "platform/SystemPreferences.h"

namespace Quillet::Platform {

IPreferences* GetSystemPreferences()
{
    return nullptr;
}

}  // namespace Quillet::Platform
