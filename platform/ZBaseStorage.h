// Files, folders, file streams and the temporary folder of the base library.
#pragma once

#include "platform/ZString.h"
#include "platform/ZTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Quillet {

struct ZBaseStorage {
    /// The path delimiter, "/" on POSIX.
    static const wchar_t* const kZPathDelimStr;
    /// The temporary folder ($TMPDIR, else /tmp), always ending in the delimiter.
    static bool TempDirPath(std::wstring& path);
    /// The system's fonts folder, or empty when there is none.
    static std::wstring FontsFolderPath();
    /// The temporary folder's default folder for name that belongs to this
    /// user alone (name, "-" and the user's number, ending in the delimiter):
    /// other users may use the temporary folder too.
    static std::wstring UserTempDirPath(const std::wstring& name);
    /// Makes path absolute against the current folder when it is relative;
    /// false when the current folder cannot be read.
    static bool MakeAbsolute(std::wstring& path);
};

/// A file named by path; nothing is opened until an operation needs it.
class ZFileStorage {
public:
    explicit ZFileStorage(const ZString& path) : path(path) {}
    /// True when the path names an existing file of any kind, folders excluded.
    bool Exists() const;
    /// Copies the file to dest, replacing dest when failIfExists is false.
    tagZBASESTAT Copy(const ZString& dest, bool failIfExists) const;
    /// Deletes the file. The flag is kept for interface compatibility.
    tagZBASESTAT Delete(bool secure) const;
    /// The file's size in bytes; false when it cannot be read.
    bool GetSize(unsigned long long& size) const;

private:
    ZString path;
};

/// A folder named by path.
class ZDirStorage {
public:
    explicit ZDirStorage(const ZString& path) : path(path) {}
    bool Exists() const;
    /// Creates the folder and any missing parents (mode 0777 less the umask).
    tagZBASESTAT Create() const;
    /// Makes sure the folder is this user's own, for a default folder in a
    /// place others may write to: created with mode 0700 when missing (its
    /// parent must exist); refused, with why, when it is a symbolic link (of
    /// any owner), no folder, or a folder of another user.
    bool CreateOwn(std::string& why) const;
    /// The names (without the folder) of its entries that begin with prefix.
    void List(const std::wstring& prefix, std::vector<std::wstring>& names) const;
    /// The bytes in its regular files that begin with prefix, and (with
    /// recursive) in those of its subfolders, which are never reached
    /// through a symbolic link.
    std::uint64_t GetContentSize(const std::wstring& prefix, bool recursive) const;

private:
    ZString path;
};

/// A file opened for writing or reading, closed by its destructor.
class ZFileStream {
public:
    /// Open modes.
    enum Mode : int { kRead = 1, kCreate = 2, kAppend = 3 };

    ZFileStream() = default;
    ~ZFileStream();
    ZFileStream(const ZFileStream&) = delete;
    ZFileStream& operator=(const ZFileStream&) = delete;

    /// kCreate (2) creates or truncates the file for writing; 0 on success.
    tagZBASESTAT Open(int mode, const ZString& path);
    tagZBASESTAT Write(const void* data, std::size_t size);
    /// Reads up to size bytes; count gets what was read (0 at the end).
    tagZBASESTAT Read(void* data, std::size_t size, std::size_t& count);
    void Close();
    bool IsOpen() const;

private:
    Platform::NativeHandle handle = Platform::kInvalidHandle;
};

}  // namespace Quillet
