// InstallSettings: installation paths and names from the preference store.
#include "settings/InstallSettings.h"

#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "settings/PathHelpers.h"
#include "settings/ProductProfile.h"

namespace Quillet {

InstallSettings& InstallSettings::Instance()
{
    static InstallSettings settings;
    return settings;
}

InstallSettings::InstallSettings() : profile(std::make_unique<ProductProfile>())
{
    if (IPreferences* store = ZUtilities::GetPreferences())
        store->SetRoot(profile->GetPreferenceRoot());
}

InstallSettings::~InstallSettings() = default;

namespace {

// The store, with the product's root selected. The root is set on every fetch
// because the store object may have been (re)loaded since the settings object
// was created (the store file can appear or change while the process runs).
IPreferences* Store(const ProductProfile& profile)
{
    IPreferences* store = ZUtilities::GetPreferences();
    if (store)
        store->SetRoot(profile.GetPreferenceRoot());
    return store;
}

}  // namespace

std::wstring InstallSettings::GetQueueName() const
{
    std::wstring value = profile->DefaultQueueName();
    if (IPreferences* store = Store(*profile))
        store->GetString(profile->MapKey(L"QueueName"), value);
    return value;
}

std::wstring InstallSettings::GetInstallDir() const
{
    std::wstring value;
    if (IPreferences* store = Store(*profile)) {
        if (!store->GetString(profile->MapKey(L"InstallDir"), value))
            value = L".";
    }
    return value;
}

std::wstring InstallSettings::GetExePath() const
{
    IPreferences* store = Store(*profile);
    if (!store)
        return std::wstring();
    std::wstring dir = GetInstallDir();
    std::wstring name;
    if (!store->GetString(profile->MapKey(L"ExeName"), name))
        name = profile->DefaultExeName();
    AppendPathDelimiter(dir);
    return dir + name;
}

std::wstring InstallSettings::GetPreviewPath() const
{
    IPreferences* store = Store(*profile);
    if (!store)
        return std::wstring();
    std::wstring dir;
    std::wstring name;
    if (store->GetString(L"PrototypeName", name) && !name.empty()) {
        if (!store->GetString(L"PrototypeInstallDir", dir))
            dir = L".";
    } else {
        // Without a preview folder of its own, the preview application lives in
        // the install directory.
        if (!store->GetString(profile->MapKey(L"PreviewDir"), dir))
            store->GetString(profile->MapKey(L"InstallDir"), dir);
        name.clear();
        if (!store->GetString(profile->MapKey(L"PreviewName"), name))
            name = profile->DefaultPreviewName();
    }
    AppendPathDelimiter(dir);
    return dir + name;
}

std::wstring InstallSettings::GetFontsFolder() const
{
    return ZBaseStorage::FontsFolderPath();
}

}  // namespace Quillet
