// DirWatch: notification of file-name changes in one folder.
#pragma once

#include "platform/FileHandle.h"
#include "platform/ZTypes.h"

#include <string>

namespace Quillet::Platform {

/// Watches one folder (not its subfolders) for files created, deleted or
/// renamed in or out. The wait handle becomes readable when something changed;
/// Rearm() clears it. Events merge and may be stale: a user decides from the
/// file system's state, never from counting notifications. Used by one thread.
class DirWatch {
public:
    DirWatch() = default;
    ~DirWatch() = default;
    DirWatch(const DirWatch&) = delete;
    DirWatch& operator=(const DirWatch&) = delete;

    /// Starts watching folder (closing an earlier watch). False when the
    /// folder cannot be watched (OS error code kept); the watch is then closed.
    bool Open(const std::wstring& folder);
    /// Readable while changes are pending; kInvalidHandle when not open.
    NativeHandle GetWaitHandle() const { return handle.Get(); }
    bool IsOpen() const { return handle.IsValid(); }
    /// Discards the pending changes, so the handle waits for the next one.
    void Rearm();
    void Close();

private:
    UniqueHandle handle;
};

}  // namespace Quillet::Platform
