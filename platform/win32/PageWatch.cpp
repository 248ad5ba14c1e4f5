// PageWatch on Windows: ReadDirectoryChangesW on an overlapped folder handle,
// whose completion sets a manual-reset event (the wait handle the event loop
// waits on), and a writer's close seen by an open that refuses to share
// writing, which the system refuses while the writer holds the file open.
#include "platform/win32/Files.h"

#include "platform/PageWatch.h"

namespace Quillet::Platform {

/// The watched folder and its outstanding change read; the wait handle is
/// the read's event. The buffer stays until the read is cancelled and done.
struct PageWatch::Closed {
    UniqueHandle folder;
    OVERLAPPED overlapped{};
    alignas(DWORD) unsigned char changes[16384];
    bool pending = false;

    ~Closed() { Stop(); }

    /// Asks for the next changes; their arrival sets event.
    bool Issue(HANDLE event)
    {
        ::ResetEvent(event);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        // Names made, removed and renamed, and writes (which a close makes
        // visible): a writer's close has no notification of its own here.
        pending = ::ReadDirectoryChangesW(ToHandle(folder.Get()), changes, sizeof changes, FALSE,
                                          FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                              FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE,
                                          nullptr, &overlapped, nullptr) != FALSE;
        return pending;
    }

    /// Cancels the outstanding read and waits until the system is done with
    /// the buffer.
    void Stop() noexcept
    {
        if (pending) {
            DWORD bytes = 0;
            ::CancelIoEx(ToHandle(folder.Get()), &overlapped);
            ::GetOverlappedResult(ToHandle(folder.Get()), &overlapped, &bytes, TRUE);
            pending = false;
        }
        folder.Reset();
    }
};

PageWatch::PageWatch() : closed(std::make_unique<Closed>()) {}

PageWatch::~PageWatch()
{
    Close();
}

std::error_code PageWatch::Open(const std::wstring& folder)
{
    Close();
    if (!IsUsablePath(folder))
        return std::error_code(ERROR_INVALID_NAME, std::system_category());
    const HANDLE watched = ::CreateFileW(SystemPath(folder).c_str(), FILE_LIST_DIRECTORY,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (watched == INVALID_HANDLE_VALUE)
        return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
    closed->folder.Reset(HandleOf(watched));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(watched, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        closed->folder.Reset();
        return std::error_code(ERROR_DIRECTORY, std::system_category());
    }
    // Manual reset: it stays set, so the loop keeps reporting the changes,
    // until Rearm takes them in.
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        const DWORD error = ::GetLastError();
        closed->folder.Reset();
        return std::error_code(static_cast<int>(error), std::system_category());
    }
    handle.Reset(HandleOf(event));
    if (!closed->Issue(event)) {
        const DWORD error = ::GetLastError();
        Close();
        return std::error_code(static_cast<int>(error), std::system_category());
    }
    return std::error_code();
}

bool PageWatch::IsOpen() const
{
    return handle.IsValid();
}

void PageWatch::Rearm()
{
    if (!handle.IsValid())
        return;
    DWORD bytes = 0;
    if (closed->pending) {
        if (!HasOverlappedIoCompleted(&closed->overlapped))
            return;
        // What changed is not needed: Look asks the folder itself. An overflow
        // (no bytes) is a change like any other.
        ::GetOverlappedResult(ToHandle(closed->folder.Get()), &closed->overlapped, &bytes, FALSE);
        closed->pending = false;
    }
    // The folder handle keeps the changes made meanwhile: the next read
    // returns them at once.
    closed->Issue(ToHandle(handle.Get()));
}

PageSigns PageWatch::Look(const std::wstring& file, const std::wstring& nextFile, bool writerEnded) const
{
    PageSigns signs;
    signs.closed = writerEnded;
    if (!signs.closed && IsUsablePath(file)) {
        // Reading without letting others write is refused while any handle
        // with write access is open on the file: the writer's, until its close.
        const HANDLE probe = ::CreateFileW(SystemPath(file).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            signs.closed = true;
            ::CloseHandle(probe);
        }
    }
    // Anything but a folder: what a writer's next file is.
    if (IsUsablePath(nextFile)) {
        const DWORD attributes = ::GetFileAttributesW(SystemPath(nextFile).c_str());
        signs.nextBegun = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
    return signs;
}

void PageWatch::Close()
{
    closed->Stop();
    handle.Reset();
}

}  // namespace Quillet::Platform
