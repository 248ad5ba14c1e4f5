// BitmapFile: the record of one finished page.
#include <quillet/BitmapFile.h>

#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"

namespace Quillet {

namespace {

bool IsOrientation(std::int32_t value) { return value >= 1 && value <= 4; }

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
    return GetSize() == other.GetSize();
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
