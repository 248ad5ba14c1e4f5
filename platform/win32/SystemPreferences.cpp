// The preference store in the Windows registry: a root names a key under
// HKEY_LOCAL_MACHINE (where an installation writes its settings) or
// HKEY_CURRENT_USER, and its string values are the preferences.
#include "platform/win32/Internal.h"

#include "platform/SystemPreferences.h"

#include <cwchar>
#include <mutex>
#include <string>

namespace Quillet::Platform {
namespace {

/// The most a value may hold, as for a store file: a larger one is not a
/// preference and is not read.
constexpr DWORD kMaxValueBytes = 1 << 20;

/// ASCII letters only, as key names compare.
bool StartsWithFolded(const std::wstring& text, const std::wstring& prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        wchar_t c = text[i];
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        if (c != prefix[i])
            return false;
    }
    return true;
}

class RegistryStore final : public IPreferences {
public:
    void SetRoot(const std::wstring& root) override
    {
        static const struct {
            const wchar_t* prefix;
            HKEY hive;
        } hives[] = {
            {L"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
            {L"HKLM\\", HKEY_LOCAL_MACHINE},
            {L"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
            {L"HKCU\\", HKEY_CURRENT_USER},
        };
        std::lock_guard<std::mutex> guard(mutex);
        hive = nullptr;
        key.clear();
        for (const auto& candidate : hives) {
            if (StartsWithFolded(root, candidate.prefix)) {
                hive = candidate.hive;
                key = root.substr(std::wcslen(candidate.prefix));
                break;
            }
        }
    }

    bool GetString(const std::wstring& name, std::wstring& value) override
    {
        HKEY rootHive = nullptr;
        std::wstring subKey;
        {
            std::lock_guard<std::mutex> guard(mutex);
            rootHive = hive;
            subKey = key;
        }
        // The empty name is the key's default value, which no preference is.
        if (rootHive == nullptr || name.empty() || name.find(L'\0') != std::wstring::npos)
            return false;
        // Strings only, taken literally (%NAME% is not expanded: the library
        // never reads the environment for a preference); the 64-bit view,
        // where a 64-bit installer writes.
        const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND | RRF_SUBKEY_WOW6464KEY;
        for (int attempt = 0; attempt < 3; ++attempt) {
            DWORD bytes = 0;
            if (::RegGetValueW(rootHive, subKey.c_str(), name.c_str(), flags, nullptr, nullptr, &bytes) !=
                    ERROR_SUCCESS ||
                bytes > kMaxValueBytes)
                return false;
            std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
            DWORD got = static_cast<DWORD>(text.size() * sizeof(wchar_t));
            const LSTATUS status =
                ::RegGetValueW(rootHive, subKey.c_str(), name.c_str(), flags, nullptr, text.data(), &got);
            if (status == ERROR_MORE_DATA)
                continue;  // grown in between
            if (status != ERROR_SUCCESS)
                return false;
            // The value ends at its first NUL, as every reader of the
            // registry's strings takes it.
            text.resize(text.find(L'\0') == std::wstring::npos ? text.size() : text.find(L'\0'));
            value = std::move(text);
            return true;
        }
        return false;
    }

private:
    std::mutex mutex;
    HKEY hive = nullptr;
    std::wstring key;
};

}  // namespace

IPreferences* GetSystemPreferences()
{
    // Never destroyed, so that no caller can see it go during process exit.
    static RegistryStore* const store = new RegistryStore;
    return store;
}

}  // namespace Quillet::Platform
