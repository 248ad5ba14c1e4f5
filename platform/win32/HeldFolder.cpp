// HeldFolder on Windows: a folder handle (CreateFileW with
// FILE_FLAG_BACKUP_SEMANTICS) judged by its owner and DACL (GetSecurityInfo),
// its write access by AccessCheck, its files listed and removed through the
// handle (ReOpenFile, NtCreateFile relative to it).
#include "platform/win32/Files.h"

#include "platform/HeldFolder.h"
#include "platform/Paths.h"
#include "platform/TextConversion.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <system_error>

namespace Quillet::Platform {
namespace {

/// The system's short English message for error, as "(...)" in a reason.
std::string InParentheses(DWORD error)
{
    return " (" + std::system_category().message(static_cast<int>(error)) + ")";
}

std::string SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return "an unknown account";
    std::string result = ToUtf8(text);
    ::LocalFree(text);
    return result;
}

/// Makes the missing folders of path, every level, for this user alone. 0,
/// or the error of the first folder that could not be made.
DWORD CreatePrivate(const std::wstring& path)
{
    OwnerOnlySecurity security;
    // Each level past the root ("C:\", "\\server\share\").
    for (std::size_t at = PathRootLength(path) + 1; at <= path.size(); ++at) {
        if (at < path.size() && !IsPathSeparator(path[at]))
            continue;
        const std::wstring part = path.substr(0, at);
        if (!::CreateDirectoryW(SystemPath(part).c_str(), security.Attributes())) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED)
                return error;
        }
    }
    return 0;
}

/// Rights that let their holder change what a folder holds or who may.
constexpr ACCESS_MASK kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | FILE_WRITE_DATA |
                                        FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL;

/// Why the folder with this owner and DACL could be changed by others than
/// this user and the administration; empty when it cannot.
std::string OthersWhoMayChange(PSID owner, PACL dacl, PSID self)
{
    if (owner == nullptr || (!::EqualSid(owner, self) && !IsAdministrationSid(owner)))
        return "it belongs to another user (" + (owner == nullptr ? std::string("none") : SidText(owner)) +
               "), who could replace its pages";
    if (dacl == nullptr)
        return "every user may write in it, and so replace its pages";
    ACL_SIZE_INFORMATION size{};
    if (!::GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return "its access list cannot be read";
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
            return "its access list cannot be read";
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE)
            continue;  // denying entries only take rights away
        // A conditional entry is judged as if its condition held; other
        // kinds of allowing entry have no place on a folder.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            return "its access list holds entries that cannot be judged";
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID who = const_cast<DWORD*>(&allowed->SidStart);
        // Entries passed on to new files count too: they would let others
        // change the pages made here. The creator's stand for the one who
        // makes the file, this user.
        if ((allowed->Mask & kChangingRights) == 0 || ::EqualSid(who, self) || IsAdministrationSid(who) ||
            ::IsWellKnownSid(who, WinCreatorOwnerSid) || ::IsWellKnownSid(who, WinCreatorGroupSid) ||
            ::IsWellKnownSid(who, WinCreatorOwnerRightsSid))
            continue;
        if (::IsWellKnownSid(who, WinWorldSid) || ::IsWellKnownSid(who, WinAuthenticatedUserSid) ||
            ::IsWellKnownSid(who, WinBuiltinUsersSid) || ::IsWellKnownSid(who, WinInteractiveSid))
            return "every user may write in it, and so replace its pages";
        return "others (" + SidText(who) + ") may write in it, and so replace its pages";
    }
    return std::string();
}

bool IdentityOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info)
{
    return ::GetFileInformationByHandle(handle, &info);
}

/// A name that stays inside its folder: no separator, no stream, no "..".
bool IsPlainName(const std::wstring& name)
{
    return IsUsablePath(name) && name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring::npos;
}

}  // namespace

bool HeldFolder::Open(const std::wstring& path, std::string& why)
{
    Close();
    if (!IsUsablePath(path)) {
        why = "it has no usable name";
        return false;
    }
    const std::wstring native = WithoutTrailingSeparators(path);
    const DWORD createError = CreatePrivate(native);
    // Shared for everything, so that its pages can be made, read and removed
    // while it is held; a rename of it is caught by IsStillAt.
    const HANDLE folder = ::CreateFileW(SystemPath(native).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL |
                                                            FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (createError != 0 && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
            why = "it cannot be created" + InParentheses(createError);
        else
            why = "it cannot be opened" + InParentheses(error);
        return false;
    }
    UniqueHandle opened(HandleOf(folder));
    // Judged on what was opened, not on the name: a name swapped after this
    // look is caught by IsStillAt.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!IdentityOf(folder, info)) {
        why = "it cannot be read" + InParentheses(::GetLastError());
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        why = "it is not a folder";
        return false;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error =
        ::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                          nullptr, &dacl, nullptr, &descriptor);
    std::vector<unsigned char> self = CurrentUserSid();
    if (error != ERROR_SUCCESS)
        why = "its owner and access list cannot be read" + InParentheses(error);
    else if (self.empty())
        why = "this process's user cannot be told";
    else
        why = OthersWhoMayChange(owner, dacl, self.data());
    if (descriptor != nullptr)
        ::LocalFree(descriptor);
    if (!why.empty())
        return false;
    handle = std::move(opened);
    return true;
}

bool HeldFolder::CanWrite(std::string& why) const
{
    // Said only when certain: a read-only volume, or an access list that
    // refuses this process's own token the making of files. The check is
    // computed from the folder's security and our token, not asked of the
    // file system by an open, so a confined process is judged by the same
    // rights it will write with.
    if (!handle.IsValid())
        return true;
    const HANDLE folder = ToHandle(handle.Get());
    DWORD flags = 0;
    if (::GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_READ_ONLY_VOLUME) != 0) {
        why = "it cannot be written (Read-only file system)";
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(folder, SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return true;
    bool allowed = true;
    HANDLE token = nullptr;
    HANDLE impersonation = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &token) &&
        ::DuplicateToken(token, SecurityIdentification, &impersonation)) {
        GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        PRIVILEGE_SET privileges{};
        DWORD privilegesSize = sizeof privileges;
        DWORD granted = 0;
        BOOL status = FALSE;
        if (::AccessCheck(descriptor, impersonation, FILE_ADD_FILE, &mapping, &privileges, &privilegesSize, &granted,
                          &status))
            allowed = status != FALSE;
    }
    if (impersonation != nullptr)
        ::CloseHandle(impersonation);
    if (token != nullptr)
        ::CloseHandle(token);
    ::LocalFree(descriptor);
    if (!allowed)
        why = "it cannot be written" + InParentheses(ERROR_ACCESS_DENIED);
    return allowed;
}

bool HeldFolder::IsStillAt(const std::wstring& path) const
{
    if (!handle.IsValid() || !IsUsablePath(path))
        return false;
    const HANDLE named = ::CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION held{};
    BY_HANDLE_FILE_INFORMATION found{};
    const bool same = IdentityOf(ToHandle(handle.Get()), held) && IdentityOf(named, found) &&
                      held.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
                      held.nFileIndexHigh == found.nFileIndexHigh && held.nFileIndexLow == found.nFileIndexLow;
    ::CloseHandle(named);
    return same;
}

std::vector<std::wstring> HeldFolder::List(const std::wstring& prefix) const
{
    std::vector<std::wstring> names;
    if (!handle.IsValid())
        return names;
    // A handle of its own on the held folder, wherever its name now leads:
    // the listing's position belongs to the handle.
    const HANDLE folder = ::ReOpenFile(ToHandle(handle.Get()), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       FILE_FLAG_BACKUP_SEMANTICS);
    if (folder == INVALID_HANDLE_VALUE)
        return names;
    UniqueHandle owner(HandleOf(folder));
    alignas(LARGE_INTEGER) unsigned char buffer[16384];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(folder, kind, buffer, sizeof buffer)) {
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L".." && name.compare(0, prefix.size(), prefix) == 0)
                names.push_back(name);
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
    return names;
}

bool HeldFolder::Remove(const std::wstring& name) const
{
    if (!handle.IsValid() || !IsPlainName(name) || name.size() > 32767) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Opened relative to the held folder's handle, as openat is: the entry
    // of the folder held, wherever its name now leads; a link is not
    // followed, and a folder is not taken.
    std::wstring relative = name;
    UNICODE_STRING text{};
    text.Buffer = relative.data();
    text.Length = text.MaximumLength = static_cast<USHORT>(relative.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, ToHandle(handle.Get()), nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE file = nullptr;
    const NTSTATUS opened =
        ::NtCreateFile(&file, DELETE | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                       FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (opened < 0) {
        ::SetLastError(::RtlNtStatusToDosError(opened));
        return false;
    }
    UniqueHandle owner(HandleOf(file));
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace Quillet::Platform
