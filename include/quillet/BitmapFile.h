// BitmapFile, the record of one finished page, and IPageNotify, the host's page callback.
#pragma once

#include <quillet/Export.h>

#include <cstdint>
#include <string>

namespace Quillet {

/// One page image file in the output folder, with the orientation code of its
/// job (1 portrait, 2 landscape, 3 portrait upside down, 4 landscape upside down).
///
/// A value type: hosts copy records freely. Two records compare equal when their
/// files have the same length and the same bytes; the length is measured once
/// and cached until the next assignment, the bytes are read only when the
/// lengths match. Not thread-safe; a record belongs to one thread at a time.
class QUILLET_API BitmapFile {
public:
    /// An empty path, orientation 1, size not measured.
    BitmapFile();
    /// The given path, orientation 1, size not measured.
    explicit BitmapFile(const std::wstring& path);
    /// Copies path, orientation and the cached size.
    BitmapFile(const BitmapFile& other);
    /// Copies path and orientation; the size is measured afresh on next use.
    void operator=(const BitmapFile& other);
    /// Frees the record; never touches the file.
    virtual ~BitmapFile();

    /// True when both files have the same length and the same contents (two
    /// missing files are equal; a missing file never equals an existing one).
    bool operator==(const BitmapFile& other);

    const std::wstring& GetFilePath() const;
    /// Replaces the path; orientation and cached size stay.
    void SetFilePath(const std::wstring& path);

    std::int32_t Orientation() const;
    /// Stores 1, 2, 3 or 4 as given; any other value stores 1.
    void SetOrientation(std::int32_t orientation);

    /// Deletes the file on disk; a file that is already gone is ignored. The
    /// record keeps its path.
    void DeleteBitmapFile();

private:
    /// The file's length (low 32 bits), measured on first demand; 0 when the
    /// file cannot be opened, in which case the next call measures again.
    std::uint32_t GetSize() const;

    std::wstring filePath;
    std::int32_t orientation;
    mutable std::uint32_t size;
};

/// The host's callback for finished pages. Implemented by the host; the library
/// never owns it. Part of the calls come on the library's monitor thread: see
/// IRIPBase::GetPages.
class QUILLET_API IPageNotify {
public:
    IPageNotify() = default;
    IPageNotify(const IPageNotify&) {}
    IPageNotify& operator=(const IPageNotify&) { return *this; }

    /// Page pageNumber (counting from 1) is ready; page is the library's record.
    virtual void OnPageReady(std::int32_t pageNumber, BitmapFile& page) = 0;
    virtual ~IPageNotify() = default;
};

}  // namespace Quillet
