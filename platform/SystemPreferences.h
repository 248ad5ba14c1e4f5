// The system's own preference store, on systems that have one.
#pragma once

#include "platform/IPreferences.h"

namespace Quillet::Platform {

/// The store an installation keeps in the system itself, which the process
/// reads unless $QUILLET_PREFERENCES names a file: on Windows the registry,
/// each root naming a key ("HKEY_LOCAL_MACHINE\SOFTWARE\...", also
/// "HKEY_CURRENT_USER\..." and the short forms "HKLM\", "HKCU\") whose
/// string values are the preferences, read afresh at every lookup. Null
/// where the store is a file beside the installation (POSIX). One object for
/// the life of the process; any thread.
IPreferences* GetSystemPreferences();

}  // namespace Quillet::Platform
