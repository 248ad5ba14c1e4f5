// Who may reach a named kernel object or a file of a SharedScope: the object
// names of each scope, the security descriptor a new object gets, and the
// check of an existing one's owner and DACL. Internal to the Windows
// platform layer.
#pragma once

#include "platform/win32/Internal.h"

#include "platform/SharedScope.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace Quillet::Platform {

/// The user of a process's token (this process's by default) as a SID in
/// binary form; empty when it cannot be read.
inline std::vector<BYTE> ProcessUserSid(HANDLE process = ::GetCurrentProcess())
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    std::vector<BYTE> sid;
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        const BYTE* begin = static_cast<const BYTE*>(user);
        sid.assign(begin, begin + ::GetLengthSid(user));
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(token);
    ::SetLastError(error);
    return sid;
}

/// The user of the process with id processId; empty when the process cannot
/// be opened or its token read.
inline std::vector<BYTE> ProcessIdUserSid(DWORD processId)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return {};
    std::vector<BYTE> sid = ProcessUserSid(process);
    ::CloseHandle(process);
    return sid;
}

/// The SID's string form ("S-1-5-21-..."); empty for an empty SID.
inline std::wstring SidText(const std::vector<BYTE>& sid)
{
    if (sid.empty())
        return std::wstring();
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &text))
        return std::wstring();
    std::wstring result(text);
    ::LocalFree(text);
    return result;
}

/// This process's user as a SID string, read once.
inline const std::wstring& ProcessUserText()
{
    static const std::wstring text = SidText(ProcessUserSid());
    return text;
}

/// The object's name for name: name itself for the print path, which every
/// process of the session finds under it; "name.u<SID>" for this user's own.
inline std::wstring SharedObjectName(const std::wstring& name, SharedScope scope)
{
    return scope == SharedScope::User ? name + L".u" + ProcessUserText() : name;
}

/// A security descriptor for a new object of scope, owned by this user: full
/// access for this user and, on the print path, for the system account and
/// the administrators (the print system's processes run as the former); no
/// access for anyone else, and nothing inherited.
class ScopeSecurity {
public:
    explicit ScopeSecurity(SharedScope scope)
    {
        const std::wstring& self = ProcessUserText();
        if (self.empty())
            return;
        std::wstring sddl = L"O:" + self + L"D:P(A;;GA;;;" + self + L")";
        if (scope == SharedScope::PrintPath)
            sddl += L"(A;;GA;;;SY)(A;;GA;;;BA)";
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                  nullptr))
            descriptor = nullptr;
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
    }
    ~ScopeSecurity()
    {
        if (descriptor != nullptr)
            ::LocalFree(descriptor);
    }
    ScopeSecurity(const ScopeSecurity&) = delete;
    ScopeSecurity& operator=(const ScopeSecurity&) = delete;

    /// Null when the descriptor could not be built: nothing may be created.
    SECURITY_ATTRIBUTES* Get() { return descriptor != nullptr ? &attributes : nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{};
};

/// Whether sid is one scope lets reach the object: this user, and on the
/// print path the system account and the administrators.
inline bool IsScopeMember(PSID sid, SharedScope scope)
{
    static const std::vector<BYTE> self = ProcessUserSid();
    if (!self.empty() && ::EqualSid(sid, const_cast<BYTE*>(self.data())))
        return true;
    if (scope == SharedScope::User)
        return false;
    return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

/// Whether nobody but the ones scope allows could change the object behind
/// handle (opened with READ_CONTROL): its owner is one of them, and its DACL
/// exists and grants nothing to anyone else. A null DACL (everyone may do
/// anything) and entries this check does not know are refused.
inline bool IsTrustedObject(HANDLE handle, SE_OBJECT_TYPE type, SharedScope scope)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                          &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = owner != nullptr && dacl != nullptr && IsScopeMember(owner, scope);
    for (DWORD i = 0; trusted && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) {
            trusted = false;
            break;
        }
        const BYTE type = static_cast<ACE_HEADER*>(entry)->AceType;
        if (type == ACCESS_DENIED_ACE_TYPE)
            continue;  // takes rights away: harmless
        trusted = type == ACCESS_ALLOWED_ACE_TYPE &&
                  IsScopeMember(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, scope);
    }
    ::LocalFree(descriptor);
    if (!trusted)
        ::SetLastError(ERROR_ACCESS_DENIED);
    return trusted;
}

}  // namespace Quillet::Platform
