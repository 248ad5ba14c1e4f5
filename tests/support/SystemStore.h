// Writing the system's own preference store from a test (Windows: the
// registry), behind neutral calls: one implementation per system.
#pragma once

#include <string>

namespace QuilletTest {

/// Sets the string value name under root (a root as the store's SetRoot
/// takes it) in the system's own preference store, creating the root. False
/// where the system keeps no store of its own.
bool WriteSystemPreference(const std::wstring& root, const std::wstring& name, const std::wstring& value);

/// Removes root and everything under it from the system's own store.
void RemoveSystemPreferences(const std::wstring& root);

}  // namespace QuilletTest
