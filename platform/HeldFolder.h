// HeldFolder: a folder of pages held open for a run, checked to be this
// user's alone, whose files are reached through the handle.
#pragma once

#include "platform/FileHandle.h"

#include <string>
#include <vector>

namespace Quillet::Platform {

/// One folder, held open from its check until Close, so that a child may work
/// in it and its files may be listed and removed where they really are even
/// when its name has been made to lead elsewhere. Move-only.
class HeldFolder {
public:
    HeldFolder() = default;
    HeldFolder(HeldFolder&&) noexcept = default;
    HeldFolder& operator=(HeldFolder&&) noexcept = default;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    /// Opens the folder path, creating it and its missing parents private to
    /// this user when it does not exist. Refused, with why (a phrase that
    /// completes "the folder ... cannot be used: "), when it is no folder or
    /// when anyone but this user and the administrator may change what is in
    /// it: another owner, writable by every user, or writable by a group that
    /// has members besides this user. Whatever was held before is let go.
    bool Open(const std::wstring& path, std::string& why);
    void Close() { handle.Reset(); }
    bool IsOpen() const { return handle.IsValid(); }
    /// The open folder, for a child's working folder.
    NativeHandle GetHandle() const { return handle.Get(); }
    /// False, with why (a phrase that completes "the folder ... cannot be
    /// used: "), when this process certainly cannot make files in the open
    /// folder: it lies on a read-only disk, or its owner's permissions close
    /// it to us. Judged without asking the system for access, which a
    /// confined process is always refused.
    bool CanWrite(std::string& why) const;
    /// True while the name it was opened by still leads to the folder held.
    bool IsStillAt(const std::wstring& path) const;
    /// The names of its entries that begin with prefix.
    std::vector<std::wstring> List(const std::wstring& prefix) const;
    /// Removes its entry name (a file), wherever the folder's name now leads.
    bool Remove(const std::wstring& name) const;

private:
    UniqueHandle handle;
};

}  // namespace Quillet::Platform
