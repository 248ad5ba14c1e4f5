// Folders of this user alone in the temporary folder, and moving and removing
// what is kept in them.
#pragma once

#include <string>

namespace Quillet::Platform {

/// This user's own folder in the temporary folder ($TMPDIR, else /tmp):
/// "quillet-UID/", ending in the delimiter. Created with access for this user
/// alone (0700) when missing; used only when it is a real folder (not a link)
/// owned by this user, whose access is then narrowed to 0700 if it was wider.
/// Empty when no such folder can be had (another user planted one, say).
std::wstring UserTempFolder();

/// Creates the folder path with access for this user alone (0700); its
/// parent must exist. False when path exists already or cannot be made.
bool CreatePrivateFolder(const std::wstring& path);

/// Removes path and everything below it; a symbolic link inside is removed,
/// never followed. True when nothing is left at path.
bool RemoveTree(const std::wstring& path);

/// Renames the file from to to within one file system, replacing to.
bool MoveFile(const std::wstring& from, const std::wstring& to);

}  // namespace Quillet::Platform
