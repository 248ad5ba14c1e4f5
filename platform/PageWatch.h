// PageWatch: a run's output folder watched for changes, and the one answer to
// whether a writer is done with a page file.
#pragma once

#include "platform/FileHandle.h"
#include "platform/ZTypes.h"

#include <memory>
#include <string>
#include <system_error>

namespace Quillet::Platform {

/// What is known of a file that a writer writes one after another with its
/// next files (it closes file n before it begins file n + 1).
struct PageSigns {
    /// The writer closed the file after writing it, or the writer has ended:
    /// it writes no more to it. A close says nothing about the contents (a
    /// killed writer's files are closed too).
    bool closed = false;
    /// The next file exists: the writer was done with this one, unless
    /// someone else made the next file ahead of it.
    bool nextBegun = false;

    bool Complete() const { return closed || nextBegun; }
};

/// Watches one folder (not its subfolders) for files created, removed,
/// renamed in or out and closed after writing; the event loop reports
/// Changed while changes are pending (EventLoop::AddWatch). Changes merge and
/// may be stale: a user decides from the folder's state, never from counting
/// them. Used by one thread.
class PageWatch {
public:
    PageWatch();
    ~PageWatch();
    PageWatch(const PageWatch&) = delete;
    PageWatch& operator=(const PageWatch&) = delete;

    /// Starts watching folder (closing an earlier watch). The system's
    /// error when the folder cannot be watched (no such folder, no right,
    /// the limit of watches reached); the watch is then closed.
    std::error_code Open(const std::wstring& folder);
    bool IsOpen() const;
    void Close();
    /// Takes in the pending changes, so that the loop waits for the next
    /// ones; a file closed after this call is seen by the next one.
    void Rearm();

    /// The signs that the writer of file (a path in the folder) is done with
    /// it: its close since Open (as taken in by Rearm) or writerEnded, and
    /// whether nextFile exists. Looks at the folder; never waits.
    PageSigns Look(const std::wstring& file, const std::wstring& nextFile, bool writerEnded) const;

    /// Signalled while changes are pending (readable on POSIX; on Windows an
    /// event that stays set until Rearm); for the event loop.
    NativeHandle GetWaitHandle() const { return handle.Get(); }

private:
    struct Closed;
    UniqueHandle handle;
    std::unique_ptr<Closed> closed;
};

}  // namespace Quillet::Platform
