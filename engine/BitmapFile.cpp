// BitmapFile: the record of one finished page.
#include <quillet/BitmapFile.h>

#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"

#include <cstring>
#include <vector>

namespace Quillet {

namespace {

bool IsOrientation(std::int32_t value) { return value >= 1 && value <= 4; }

/// True when both files can be read and hold the same bytes; two missing
/// files are equal (both have length 0).
bool SameContents(const std::wstring& left, const std::wstring& right)
{
    ZFileStream a;
    ZFileStream b;
    const bool openA = a.Open(ZFileStream::kRead, ZString(left)) == ZBASE_OK;
    const bool openB = b.Open(ZFileStream::kRead, ZString(right)) == ZBASE_OK;
    if (!openA || !openB)
        return openA == openB;
    std::vector<char> bufferA(1 << 16);
    std::vector<char> bufferB(1 << 16);
    for (;;) {
        std::size_t countA = 0;
        std::size_t countB = 0;
        if (a.Read(bufferA.data(), bufferA.size(), countA) != ZBASE_OK ||
            b.Read(bufferB.data(), bufferB.size(), countB) != ZBASE_OK)
            return false;
        // Both are regular files of one length: reads of one size give one count.
        if (countA != countB || std::memcmp(bufferA.data(), bufferB.data(), countA) != 0)
            return false;
        if (countA == 0)
            return true;
    }
}

}  // namespace

BitmapFile::BitmapFile() : orientation(1), size(0) {}

BitmapFile::BitmapFile(const std::wstring& path) : filePath(path), orientation(1), size(0) {}

BitmapFile::BitmapFile(const BitmapFile& other)
    : filePath(other.filePath), orientation(other.orientation), size(other.size)
{
}

void BitmapFile::operator=(const BitmapFile& other)
{
    filePath = other.filePath;
    SetOrientation(other.Orientation());
    // The path may name another file now: measure again on next use.
    size = 0;
}

BitmapFile::~BitmapFile() = default;

bool BitmapFile::operator==(const BitmapFile& other)
{
    // Uncompressed pages of one page size all have the same length, so the
    // length only rules out; equal lengths are settled by the bytes. Pages
    // are compared rarely (copy detection looks at one or two per page), so
    // a plain compare beats keeping a hash in every record.
    if (GetSize() != other.GetSize())
        return false;
    if (filePath == other.filePath)
        return true;
    return SameContents(filePath, other.filePath);
}

const std::wstring& BitmapFile::GetFilePath() const { return filePath; }

void BitmapFile::SetFilePath(const std::wstring& path) { filePath = path; }

std::int32_t BitmapFile::Orientation() const { return orientation; }

void BitmapFile::SetOrientation(std::int32_t value)
{
    orientation = IsOrientation(value) ? value : 1;
}

std::uint32_t BitmapFile::GetSize() const
{
    if (size != 0)
        return size;
    unsigned long long length = 0;
    if (ZFileStorage(ZString(filePath)).GetSize(length))
        size = static_cast<std::uint32_t>(length);  // the low 32 bits, by design
    return size;
}

void BitmapFile::DeleteBitmapFile()
{
    ZFileStorage(ZString(filePath)).Delete(false);
}

}  // namespace Quillet
