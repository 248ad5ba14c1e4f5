// ProductProfile: constants of the product's preference store.
#include "settings/ProductProfile.h"

#include <map>

namespace Quillet {

std::wstring ProductProfile::GetPreferenceRoot() const
{
    return L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quivera\\Tallow Works";
}

std::wstring ProductProfile::DefaultQueueName() const { return L"QV Page Glance"; }

// Program names lose the Windows ".exe" on this platform.
std::wstring ProductProfile::DefaultExeName() const { return L"qvjobsvr"; }

std::wstring ProductProfile::DefaultPreviewName() const { return L"QVPageGlance"; }

std::wstring ProductProfile::MapKey(const std::wstring& key) const
{
    // Built on first use (thread-safe static initialisation) and kept for the
    // life of the process.
    static const std::map<std::wstring, std::wstring> keyMap = {
        {L"InstallDir", L"QuilletInstallDir"},
        {L"ExeName", L"QuilletName"},
        {L"PreviewDir", L"PreviewInstallDir"},
        {L"PreviewName", L"PreviewName"},
        {L"QueueName", L"QueueName"},
    };
    const auto it = keyMap.find(key);
    return it == keyMap.end() ? key : it->second;
}

}  // namespace Quillet
