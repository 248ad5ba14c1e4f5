// Files and folders on Windows: stubs that fail with
// ERROR_CALL_NOT_IMPLEMENTED (ZBASE_FAILED, false, nothing found). The port
// will use the wide-character file calls (CreateFileW, CopyFileW, ...).
#include "platform/win32/Internal.h"

#include "platform/ZBaseStorage.h"

namespace Quillet {

const wchar_t* const ZBaseStorage::kZPathDelimStr = L"\\";

bool ZBaseStorage::TempDirPath(std::wstring& path)
{
    path.clear();
    Platform::SetNotSupported();
    return false;
}

std::wstring ZBaseStorage::FontsFolderPath()
{
    return std::wstring();
}

std::wstring ZBaseStorage::UserTempDirPath(const std::wstring&)
{
    return std::wstring();
}

bool ZBaseStorage::MakeAbsolute(std::wstring&)
{
    Platform::SetNotSupported();
    return false;
}

bool ZFileStorage::Exists() const
{
    return false;
}

tagZBASESTAT ZFileStorage::Copy(const ZString&, bool) const
{
    Platform::SetNotSupported();
    return ZBASE_FAILED;
}

tagZBASESTAT ZFileStorage::Delete(bool) const
{
    Platform::SetNotSupported();
    return ZBASE_FAILED;
}

bool ZFileStorage::GetSize(unsigned long long& size) const
{
    size = 0;
    return false;
}

bool ZDirStorage::Exists() const
{
    return false;
}

bool ZDirStorage::CreateOwn(std::string& why) const
{
    why = "Making a folder is not supported on Windows yet";
    Platform::SetNotSupported();
    return false;
}

void ZDirStorage::List(const std::wstring&, std::vector<std::wstring>& names) const
{
    names.clear();
}

std::uint64_t ZDirStorage::GetContentSize(const std::wstring&, bool) const
{
    return 0;
}

tagZBASESTAT ZDirStorage::Create() const
{
    Platform::SetNotSupported();
    return ZBASE_FAILED;
}

ZFileStream::~ZFileStream()
{
    Close();
}

tagZBASESTAT ZFileStream::Open(int, const ZString&)
{
    Close();
    Platform::SetNotSupported();
    return ZBASE_FAILED;
}

tagZBASESTAT ZFileStream::Write(const void*, std::size_t)
{
    return ZBASE_FAILED;
}

tagZBASESTAT ZFileStream::Read(void*, std::size_t, std::size_t& count)
{
    count = 0;
    return ZBASE_FAILED;
}

void ZFileStream::Close()
{
    handle = Platform::kInvalidHandle;
}

bool ZFileStream::IsOpen() const
{
    return handle.IsValid();
}

}  // namespace Quillet
