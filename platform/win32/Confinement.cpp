// Confinement on Windows: what the system offers a process that cannot
// change its users or install anything. Each confined child runs in a job
// object of its own that bounds its committed memory and lets it start no
// process, with a restricted copy of the host's token that holds no
// privilege. Files and the network are not confined: an AppContainer, the
// one unprivileged way to close them, needs a profile registered for the
// user and access granted to every folder the child reads (the installation,
// the documents, the output folder), which the library does not do; and a
// length bound on files does not exist (the runner counts the output's
// bytes instead). GetConfinementSupport says so.
#include "platform/win32/ConfinedChild.h"

#include <atomic>

namespace Quillet::Platform {

namespace {

std::atomic<bool> confinementEnabled{true};

/// A restricted copy of this process's primary token: every privilege but
/// SeChangeNotifyPrivilege (passing through folders) removed. Empty when the
/// system refuses one.
UniqueHandle RestrictedToken()
{
    HANDLE own = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(),
                            TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT, &own))
        return UniqueHandle();
    UniqueHandle owned(HandleOf(own));
    HANDLE restricted = nullptr;
    if (!::CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 0, nullptr, 0, nullptr, 0, nullptr, &restricted))
        return UniqueHandle();
    return UniqueHandle(HandleOf(restricted));
}

}  // namespace

namespace Win32 {

bool CanRestrictToken()
{
    static const bool can = RestrictedToken().IsValid();
    return can;
}

}  // namespace Win32

const ConfinementSupport& GetConfinementSupport()
{
    static const ConfinementSupport support{
        false, false,
        std::string("files and network: not confined on Windows; job object: memory bound, no child processes, "
                    "ended with the host") +
            (Win32::CanRestrictToken() ? "; restricted token: no privileges"
                                       : "; no restricted token (the system refused one)")};
    return support;
}

Confinement::Confinement(ConfinementRules rulesIn) : rules(std::move(rulesIn)), prepared(std::make_unique<Prepared>())
{
    prepared->enabled = confinementEnabled.load();
    prepared->processMemory = rules.maxMemoryBytes;
    if (prepared->enabled && Win32::CanRestrictToken()) {
        prepared->token = RestrictedToken();
        // The system made one before: failing now (no handles left, say)
        // refuses the start rather than running the child with our token.
        prepared->ready = prepared->token.IsValid();
    } else {
        prepared->ready = true;
    }
}

Confinement::~Confinement() = default;

bool Confinement::IsReady() const
{
    return prepared->ready;
}

std::vector<std::wstring> SystemReadable(SystemFiles part)
{
    // Nothing confines files here; the system's folders are named for the
    // rules' readers all the same.
    if (part != SystemFiles::Common)
        return {};
    std::vector<std::wstring> folders;
    wchar_t path[MAX_PATH];
    const UINT n = ::GetSystemWindowsDirectoryW(path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        folders.emplace_back(path, n);
    return folders;
}

void SetConfinementEnabled(bool enabled)
{
    confinementEnabled = enabled;
}

}  // namespace Quillet::Platform
