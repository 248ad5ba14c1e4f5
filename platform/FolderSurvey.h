// FolderSurvey: what a folder holds, for counting the disk a child filled in
// it and for telling whether anything in it changed since an earlier look.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Quillet::Platform {

/// Bytes of disk that everything below folder takes (allocated blocks, so a
/// sparse file counts what it filled), links not followed. 0 when it cannot
/// be read.
std::uint64_t FolderBytes(const std::wstring& folder);

/// Every file below folder (regular files, links, anything but folders: an
/// empty folder holds nothing) by its path relative to folder, with a
/// fingerprint of it: of the content for files up to 1 MiB, of length, time
/// of change and identity for larger ones, of the target for links. Two
/// surveys are equal when no file was added, removed or changed in between
/// (a file rewritten with the same content counts as unchanged). Entries
/// directly in folder named in skip are left out, with what is below them.
std::map<std::string, std::uint64_t> FolderFiles(const std::wstring& folder, const std::vector<std::wstring>& skip);

}  // namespace Quillet::Platform
