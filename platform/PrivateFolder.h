// PrivateFolder: a folder of this process alone in the temporary folder, for
// a child that reads documents or for what it makes of them; and moving a
// file out of one.
#pragma once

#include <string>

namespace Quillet::Platform {

/// A folder made with mode 0700 in the temporary folder ($TMPDIR, else /tmp;
/// named stem, "-", the process id, "-" and six random characters) and
/// removed with everything in it by the destructor. Move-only; one thread at
/// a time. Making one removes the folders of its stem that this user's
/// processes which are gone left behind (a host killed during a run).
class PrivateFolder {
public:
    PrivateFolder() = default;
    explicit PrivateFolder(const std::wstring& stem);
    ~PrivateFolder();
    PrivateFolder(PrivateFolder&& other) noexcept;
    PrivateFolder& operator=(PrivateFolder&& other) noexcept;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    bool IsValid() const { return !path.empty(); }
    /// The folder, without a trailing delimiter; empty when it could not be made.
    const std::wstring& GetPath() const { return path; }

private:
    void Remove() noexcept;
    std::wstring path;
};

/// Renames the file from to to within one file system, replacing to.
bool RenameFile(const std::wstring& from, const std::wstring& to);

}  // namespace Quillet::Platform
