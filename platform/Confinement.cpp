// The confinement rules for the kinds of child the library starts: which
// files each reads and writes, its environment, its sockets. The same on every
// system; where the system keeps its own files comes from SystemReadable, and
// enforcing the rules is the OS part's.
#include "platform/Confinement.h"

#include "platform/Paths.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"

#include <filesystem>

namespace Quillet::Platform {

namespace {

void AppendAll(std::vector<std::wstring>& to, const std::vector<std::wstring>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

/// path with its links resolved (path itself when that fails): a rule is
/// opened in the parent, where a name such as /proc/self/exe would name the
/// parent's own.
std::wstring Resolved(const std::wstring& path)
{
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(ToUtf8(path), error);
    return error ? path : FromUtf8(real.string());
}

/// The installation this code was loaded from: the folder above the one
/// that holds the library (or the program it is linked into), which also
/// holds its preference store.
std::wstring InstallationPrefix()
{
    const std::wstring library = ZUtilities::GetLibraryFolder();
    return library.empty() ? std::wstring() : FolderOf(library);
}

std::vector<std::pair<std::wstring, std::wstring>> TemporaryFolderEnvironment(const std::wstring& folder)
{
    return {{L"TMPDIR", folder}, {L"TMP", folder}, {L"TEMP", folder}};
}

}  // namespace

ConfinementRules GhostscriptRules(const std::wstring& ghostscriptRoot, const std::wstring& outputFolder,
                                  const std::wstring& temporaryFolder, const std::vector<std::wstring>& documents)
{
    ConfinementRules rules;
    rules.readable = SystemReadable(SystemFiles::Common);
    AppendAll(rules.readable, SystemReadable(SystemFiles::Ghostscript));
    rules.readable.push_back(ghostscriptRoot.empty() ? std::wstring() : ghostscriptRoot + L"gs");
    rules.readable.push_back(ZBaseStorage::FontsFolderPath());
    AppendAll(rules.readable, documents);
    rules.writable = {outputFolder, temporaryFolder};
    rules.environment = TemporaryFolderEnvironment(temporaryFolder);
    return rules;
}

ConfinementRules OfficeSuiteRules(const std::wstring& program, const std::wstring& office,
                                  const std::wstring& privateFolder)
{
    ConfinementRules rules;
    rules.readable = SystemReadable(SystemFiles::Common);
    // Its own program's folder; the suite's tree (program/ below it) and
    // the configuration and extension folders its Debian tree links to.
    // Nothing of /proc: the process reads its memory use with getrusage,
    // and /proc would show it every process of the user, their command
    // lines and environments included (and /proc/self, opened here, would
    // be this process's). No /etc/passwd, /etc/group or
    // /etc/nsswitch.conf either: the suite asks for the user's name and home
    // and goes on without them (HOME is set), and no export uses them.
    rules.readable.push_back(FolderOf(Resolved(program)));
    if (!office.empty())
        rules.readable.push_back(FolderOf(FolderOf(office)));
    AppendAll(rules.readable, SystemReadable(SystemFiles::OfficeSuite));
    rules.writable = {privateFolder};
    // Everything the suite would write in the user's home, the runtime
    // folder or the shared temporary folder lands in its own folder; no
    // session bus is looked for.
    rules.environment = TemporaryFolderEnvironment(privateFolder);
    rules.environment.insert(rules.environment.end(), {{L"HOME", privateFolder},
                                                       {L"XDG_CONFIG_HOME", privateFolder + L"/.config"},
                                                       {L"XDG_CACHE_HOME", privateFolder + L"/.cache"},
                                                       {L"XDG_DATA_HOME", privateFolder + L"/.local/share"},
                                                       {L"XDG_RUNTIME_DIR", privateFolder},
                                                       {L"DBUS_SESSION_BUS_ADDRESS", L"disabled:"}});
    // No local socket either: the suite loaded into a process of ours has no
    // instance pipe, and the system bus or the print server are none of its
    // business while it lays out a document.
    rules.localSockets = false;
    return rules;
}

ConfinementRules PreviewRules(const std::wstring& program, const std::wstring& installFolder,
                              const std::wstring& outputFolder, const std::wstring& privateFolder,
                              const std::vector<std::wstring>& documents)
{
    ConfinementRules rules = GhostscriptRules(std::wstring(), outputFolder, privateFolder, documents);
    // The processor count it gives Ghostscript comes from these.
    AppendAll(rules.readable, {installFolder, FolderOf(Resolved(program)), InstallationPrefix()});
    AppendAll(rules.readable, SystemReadable(SystemFiles::ProcessorCount));
    // The preference store the library in the preview looks for, when the
    // host named one outside the installation.
    std::string store;
    if (ZUtilities::GetEnv("QUILLET_PREFERENCES", store))
        rules.readable.push_back(FromUtf8(store));
    rules.localSockets = true;
    return rules;
}

}  // namespace Quillet::Platform
