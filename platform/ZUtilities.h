// ZUtilities and ZHelper: process-wide services of the base library.
#pragma once

#include "platform/IPreferences.h"

#include <cstdint>
#include <string>

namespace Quillet {

struct ZUtilities {
    /// The process's preference store, or null when no store file exists.
    /// The store is found at $QUILLET_PREFERENCES, else at the installation's
    /// etc/quillet/preferences.conf. The same object is returned every call.
    static IPreferences* GetPreferences();
    /// A file-name prefix that no file in dir begins with and that no other
    /// call, in this or another process, returns for dir.
    static std::wstring GetUniqueFilePrefix(const std::wstring& dir);
    /// Removes the regular files and folders (with what they hold) in dir
    /// that this user owns, whose name holds marker and begins with a prefix
    /// GetUniqueFilePrefix made for a process that no longer runs: the
    /// leftovers of a host that was killed.
    static void RemoveAbandonedFiles(const std::wstring& dir, const std::wstring& marker);
    /// Decimal conversion of the leading digits (with an optional sign);
    /// false and 0 when there are none.
    static bool ConvertTo(const std::wstring& text, long& value);
    /// True and the value when the environment variable is set.
    static bool GetEnv(const std::string& name, std::string& value);
    static void Assign(std::wstring& target, const wchar_t* source);
    static void sleep(std::uint32_t milliseconds);
    static std::uint32_t GetCurrentThreadID();
    /// True while a thread with id threadId (as GetCurrentThreadID gives it,
    /// of any process on the machine) exists.
    static bool IsThreadAlive(std::uint32_t threadId);
    /// True unless the system says no process with id processId exists (one
    /// of another user counts as alive). The one test of whether a process
    /// that left something behind (a socket, a record, a file) is gone.
    static bool IsProcessAlive(std::uint32_t processId);
    /// Online processors of the machine.
    static int GetOnlineProcessorCount();
    /// The folder of the file this code was loaded from (the shared library,
    /// or the program it is linked into), absolute, links resolved; empty
    /// when the system cannot tell. The installation is found from here: its
    /// preference store, and what a confined child of it may read.
    static std::wstring GetLibraryFolder();
    /// The folder of the configuration files of the installation under
    /// prefix, where its preference store lives (in quillet/): prefix/etc,
    /// but /etc for the system's own installation (prefix / or /usr), as the
    /// file-system hierarchy places it and as CMake installs it.
    static std::wstring GetConfigurationFolder(const std::wstring& prefix);
};

struct ZHelper {
    static std::uint32_t GetThisProcessID();
};

}  // namespace Quillet
