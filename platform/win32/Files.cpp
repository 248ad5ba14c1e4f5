// Files on Windows: the user's SID, a security descriptor for this user alone,
// folder walks with FindFirstFileExW, a handle's real path, removing a tree,
// random bytes (BCryptGenRandom) and the sweep of what dead processes left.
#include "platform/win32/Files.h"

#include "platform/Paths.h"
#include "platform/ZUtilities.h"

#include <algorithm>

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

namespace Quillet::Platform {

std::wstring SystemPath(const std::wstring& path)
{
    // A folder's path leaves room for a short 8.3 name below MAX_PATH.
    if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0)
        return path;
    std::wstring full(path.size() + MAX_PATH, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return path;
    full.resize(length);
    if (full.size() >= 2 && IsPathSeparator(full[0]) && IsPathSeparator(full[1]))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring WithoutTrailingSeparators(const std::wstring& path)
{
    std::wstring trimmed = path;
    const std::size_t root = std::max<std::size_t>(PathRootLength(path), 1);
    while (trimmed.size() > root && IsPathSeparator(trimmed.back()))
        trimmed.pop_back();
    return trimmed;
}

std::vector<unsigned char> CurrentUserSid()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    std::vector<unsigned char> sid;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
        const auto* bytes = static_cast<const unsigned char*>(user);
        sid.assign(bytes, bytes + ::GetLengthSid(user));
    }
    ::CloseHandle(token);
    return sid;
}

bool IsAdministrationSid(PSID sid)
{
    return sid != nullptr &&
           (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

OwnerOnlySecurity::OwnerOnlySecurity() : sid(CurrentUserSid())
{
    if (sid.empty())
        return;
    const PSID user = sid.data();
    acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(user));
    auto* list = reinterpret_cast<ACL*>(acl.data());
    // Protected: the entries a parent passes on (every user's, in a shared
    // folder) do not reach what is made here. The owner is the user too, even
    // in an elevated process, whose default owner is the Administrators group.
    valid = ::InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION) &&
            ::AddAccessAllowedAceEx(list, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                    FILE_ALL_ACCESS, user) &&
            ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            ::SetSecurityDescriptorOwner(&descriptor, user, FALSE) &&
            ::SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
            ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
}

bool ForEachEntry(const std::wstring& folder, const std::function<void(const WIN32_FIND_DATAW&)>& visit)
{
    if (!IsUsablePath(folder))
        return false;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileExW(SystemPath(JoinPath({folder, L"*"})).c_str(), FindExInfoBasic, &entry,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            visit(entry);
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return true;
}

std::wstring FinalPathOf(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    // The system answers in its long-path form: "\\?\C:\..." or "\\?\UNC\server\...".
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        return L"\\\\" + path.substr(8);
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        return path.substr(4);
    return path;
}

void RemoveTree(const std::wstring& path) noexcept
{
    try {
        const DWORD attributes = ::GetFileAttributesW(SystemPath(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return;
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
            ::SetFileAttributesW(SystemPath(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ::DeleteFileW(SystemPath(path).c_str());
            return;
        }
        // A link to a folder (a junction or a symbolic link) goes as itself.
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            std::vector<std::wstring> names;
            ForEachEntry(path, [&names](const WIN32_FIND_DATAW& entry) { names.emplace_back(entry.cFileName); });
            for (const std::wstring& name : names)
                RemoveTree(JoinPath({path, name}));
        }
        ::RemoveDirectoryW(SystemPath(path).c_str());
    } catch (...) {
        // Out of memory for a name: what is left stays for the next sweep.
    }
}

bool FillRandom(void* bytes, std::size_t size)
{
    return size <= ULONG_MAX && BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(bytes),
                                                                 static_cast<ULONG>(size),
                                                                 BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool IsOwnedBySelf(const std::wstring& path)
{
    if (!IsUsablePath(path))
        return false;
    const HANDLE file =
        ::CreateFileW(SystemPath(path).c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool read = ::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                        nullptr, &descriptor) == ERROR_SUCCESS;
    ::CloseHandle(file);
    std::vector<unsigned char> self = CurrentUserSid();
    const bool own = read && owner != nullptr && !self.empty() && ::EqualSid(owner, self.data());
    if (descriptor != nullptr)
        ::LocalFree(descriptor);
    return own;
}

void RemoveLeftovers(const std::wstring& folder, const std::function<long(const std::wstring& name)>& processIdOf)
{
    std::vector<WIN32_FIND_DATAW> entries;
    ForEachEntry(folder, [&entries](const WIN32_FIND_DATAW& entry) { entries.push_back(entry); });
    for (const WIN32_FIND_DATAW& entry : entries) {
        const long pid = processIdOf(entry.cFileName);
        const std::wstring path = JoinPath({folder, entry.cFileName});
        if (pid <= 0 || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !IsOwnedBySelf(path) ||
            ZUtilities::IsProcessAlive(static_cast<std::uint32_t>(pid)))
            continue;
        RemoveTree(path);
    }
}

}  // namespace Quillet::Platform
