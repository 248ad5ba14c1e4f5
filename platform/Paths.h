// Paths: how this system spells a path: its separators, joining a folder and
// names, a path's folder and file name, a program's file name.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace Quillet::Platform {

/// True for a character that separates folders: "/" (and "\" on Windows).
bool IsPathSeparator(wchar_t c);

/// The separator this system writes between a folder and a name.
wchar_t PathSeparator();

/// The parts joined by the separator: none is added after an empty part or
/// one that ends in a separator already, so a folder with or without its
/// trailing separator gives the same path.
std::wstring JoinPath(std::initializer_list<std::wstring_view> parts);

/// The folder that holds path: everything before its last separator, the
/// root itself for a file in the root; path itself when it has no separator.
std::wstring FolderOf(const std::wstring& path);

/// The last component of path: everything after its last separator.
std::wstring FileNameOf(const std::wstring& path);

/// The file of the program called name in folder: name itself here, with the
/// suffix programs carry on Windows (".exe").
std::wstring ProgramPath(const std::wstring& folder, const std::wstring& name);

/// The name (without suffix) of Ghostscript's console program, as its own
/// distribution calls it on this system: "gs", "gswin64c" on Windows.
std::wstring GhostscriptProgramName();

}  // namespace Quillet::Platform
