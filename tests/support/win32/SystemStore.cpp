// The system's own preference store on Windows: keys of the current user's
// registry (a test may not write HKEY_LOCAL_MACHINE on a real machine).
#include <windows.h>

#include "support/SystemStore.h"

#include <cwchar>
#include <string>

namespace QuilletTest {
namespace {

const wchar_t kUserHive[] = L"HKEY_CURRENT_USER\\";

/// The key under HKEY_CURRENT_USER that root names; empty for another hive.
std::wstring UserKey(const std::wstring& root)
{
    return root.compare(0, std::wcslen(kUserHive), kUserHive) == 0 ? root.substr(std::wcslen(kUserHive))
                                                                    : std::wstring();
}

}  // namespace

bool WriteSystemPreference(const std::wstring& root, const std::wstring& name, const std::wstring& value)
{
    HKEY key = nullptr;
    const std::wstring path = UserKey(root);
    if (path.empty() || ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                          &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LSTATUS status =
        ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void RemoveSystemPreferences(const std::wstring& root)
{
    const std::wstring path = UserKey(root);
    if (!path.empty())
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
}

}  // namespace QuilletTest
