// UniqueHandle on Windows (CloseHandle) and stubs of the job data-source
// primitives, which fail with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/win32/Internal.h"

#include "platform/FileHandle.h"
#include "platform/StandardHandles.h"

namespace Quillet::Platform {

void UniqueHandle::Reset(NativeHandle replacement)
{
    if (handle.IsValid() && handle != replacement)
        ::CloseHandle(ToHandle(handle));
    handle = replacement;
}

NativeHandle OpenForReading(const std::wstring&)
{
    SetNotSupported();
    return kInvalidHandle;
}

ReadStatus ReadSource(NativeHandle, void*, std::size_t, std::size_t& count)
{
    count = 0;
    SetNotSupported();
    return ReadStatus::Error;
}

NativeHandle OpenRegularFile(const std::wstring&, std::uint64_t& length)
{
    length = 0;
    SetNotSupported();
    return kInvalidHandle;
}

bool ReadFileStart(const std::wstring&, std::size_t, std::string& bytes)
{
    bytes.clear();
    SetNotSupported();
    return false;
}

bool ReadAt(NativeHandle, std::uint64_t, void*, std::size_t, std::size_t& count)
{
    count = 0;
    SetNotSupported();
    return false;
}

bool GetFileLength(NativeHandle, std::uint64_t& length)
{
    length = 0;
    SetNotSupported();
    return false;
}

bool Rewind(NativeHandle)
{
    SetNotSupported();
    return false;
}

NativeHandle DuplicateFromProcess(std::uint32_t, std::int32_t)
{
    SetNotSupported();
    return kInvalidHandle;
}

NativeHandle StandardInput()
{
    SetNotSupported();
    return kInvalidHandle;
}

NativeHandle StandardOutput()
{
    SetNotSupported();
    return kInvalidHandle;
}

NativeHandle StandardError()
{
    SetNotSupported();
    return kInvalidHandle;
}

PathKind GetPathKind(const std::wstring&)
{
    SetNotSupported();
    return PathKind::Missing;
}

std::wstring PipeFolder()
{
    return std::wstring();
}

std::wstring PipePath(const std::wstring&)
{
    return std::wstring();
}

}  // namespace Quillet::Platform
