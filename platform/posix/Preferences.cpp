// The preference store on POSIX (being written: no store is found yet).
#include "platform/ZUtilities.h"

namespace Quillet {

IPreferences* ZUtilities::GetPreferences()
{
    return nullptr;
}

}  // namespace Quillet
