// Files: what the Windows files of files, folders and page readiness share:
// the user's SID, a security descriptor for this user alone, folder walks,
// a handle's real path, removing a tree, random bytes and the leftovers sweep.
#pragma once

#include "platform/win32/Internal.h"

#include "platform/Random.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Quillet::Platform {

/// True for a path a W call can take: not empty and without a NUL, which
/// would cut it short.
inline bool IsUsablePath(const std::wstring& path)
{
    return !path.empty() && path.find(L'\0') == std::wstring::npos;
}

/// The form of path a W call takes, with no limit on its length: path itself
/// when it is short; a long one made absolute in the long-path form
/// ("\\?\C:\...", "\\?\UNC\server\..."), which the system passes on
/// without the MAX_PATH limit (and without its own clean-up, done here first).
std::wstring SystemPath(const std::wstring& path);

/// path without the separators at its end, except the one of a root ("C:\").
std::wstring WithoutTrailingSeparators(const std::wstring& path);

/// The SID of the user this process runs as (its token's user), as bytes;
/// empty when the token cannot be read.
std::vector<unsigned char> CurrentUserSid();

/// True for the SIDs that stand for the machine's administration, which the
/// root of a POSIX system stands for: LocalSystem and the Administrators group
/// (which owns what an elevated administrator makes).
bool IsAdministrationSid(PSID sid);

/// A security descriptor whose DACL grants this user alone full access and
/// passes that on to everything made inside (the parent's inheritable entries
/// are shut out). Valid() is false when the user's SID could not be read.
class OwnerOnlySecurity {
public:
    OwnerOnlySecurity();
    OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
    OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;
    bool Valid() const { return valid; }
    /// For CreateDirectoryW and CreateFileW; not inheritable.
    SECURITY_ATTRIBUTES* Attributes() { return valid ? &attributes : nullptr; }

private:
    std::vector<unsigned char> sid;
    std::vector<unsigned char> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
    bool valid = false;
};

/// Calls visit for every entry of folder but "." and "..", with what the
/// listing tells of it (links are not followed). False when the folder
/// cannot be listed.
bool ForEachEntry(const std::wstring& folder, const std::function<void(const WIN32_FIND_DATAW&)>& visit);

/// True for an entry that is a folder reached without a link: the only kind a
/// walk enters.
inline bool IsPlainFolder(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

/// The path an open handle's file or folder has now, in the usual form
/// ("C:\...", "\\server\share\..."); empty when the system cannot tell.
std::wstring FinalPathOf(HANDLE handle);

/// Removes path and everything below it; a link inside is removed, never
/// followed; read-only files go too.
void RemoveTree(const std::wstring& path) noexcept;


/// True when the file or folder at path (not followed if it is a link) is
/// owned by this process's user.
bool IsOwnedBySelf(const std::wstring& path);

/// Removes the entries of folder (files, and folders with all they hold)
/// that this user owns and whose name holds the id of a process that no
/// longer runs: processIdOf reads it from a name, or gives 0 for a name that
/// is none of these. What a host that was killed left behind.
void RemoveLeftovers(const std::wstring& folder, const std::function<long(const std::wstring& name)>& processIdOf);

}  // namespace Quillet::Platform
