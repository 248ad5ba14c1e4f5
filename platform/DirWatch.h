// DirWatch: notification of file-name changes in one folder.
#pragma once

#include "platform/FileHandle.h"
#include "platform/ZTypes.h"

#include <string>
#include <system_error>
#include <vector>

namespace Quillet::Platform {

/// Watches one folder (not its subfolders) for files created, deleted,
/// renamed in or out, or closed after writing. The wait handle becomes readable when something changed;
/// Rearm() clears it. Events merge and may be stale: a user decides from the
/// file system's state, never from counting notifications. Used by one thread.
class DirWatch {
public:
    DirWatch() = default;
    ~DirWatch() = default;
    DirWatch(const DirWatch&) = delete;
    DirWatch& operator=(const DirWatch&) = delete;

    /// Starts watching folder (closing an earlier watch). The system's
    /// error when the folder cannot be watched (no such folder, no right,
    /// the limit of watches reached); the watch is then closed.
    std::error_code Open(const std::wstring& folder);
    /// Readable while changes are pending; kInvalidHandle when not open.
    NativeHandle GetWaitHandle() const { return handle.Get(); }
    bool IsOpen() const { return handle.IsValid(); }
    /// Discards the pending changes, so the handle waits for the next one.
    void Rearm();
    /// The same, adding to closedFiles the names (without folder) of the files
    /// closed after writing since the last call. A file closed because its
    /// writer died counts too: a close says nothing about the contents.
    void Rearm(std::vector<std::wstring>& closedFiles);
    void Close();

private:
    UniqueHandle handle;
};

}  // namespace Quillet::Platform
