// Files, folders, file streams and the temporary folder of the base library.
#pragma once

#include "platform/ZString.h"
#include "platform/ZTypes.h"

#include <cstddef>
#include <string>

namespace Quillet {

struct ZBaseStorage {
    /// The path delimiter, "/" on POSIX.
    static const wchar_t* const kZPathDelimStr;
    /// The temporary folder ($TMPDIR, else /tmp), always ending in the delimiter.
    static bool TempDirPath(std::wstring& path);
    /// The system's fonts folder, or empty when there is none.
    static std::wstring FontsFolderPath();
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
