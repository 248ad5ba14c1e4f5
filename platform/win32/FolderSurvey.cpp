// FolderSurvey on Windows: a walk with FindFirstFileExW that never enters a
// link; the disk a file takes from GetCompressedFileSizeW, which counts what
// a sparse or compressed file filled.
#include "platform/win32/Files.h"

#include "platform/FolderSurvey.h"
#include "platform/Fnv.h"
#include "platform/Paths.h"
#include "platform/TextConversion.h"

#include <winioctl.h>

#include <algorithm>

namespace Quillet::Platform {

namespace {

constexpr std::uint64_t kContentLimit = 1 << 20;
constexpr int kDepthLimit = 64;

std::uint64_t SizeOf(const WIN32_FIND_DATAW& entry)
{
    return (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
}

/// Calls visit(path, entry, relative path) for everything below folder,
/// depth first, links not entered.
void Walk(const std::wstring& folder, const std::wstring& prefix, const std::vector<std::wstring>& skip, int depth,
          const std::function<void(const std::wstring&, const WIN32_FIND_DATAW&, const std::wstring&)>& visit)
{
    std::vector<WIN32_FIND_DATAW> entries;
    ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
        if (std::find(skip.begin(), skip.end(), std::wstring(entry.cFileName)) == skip.end())
            entries.push_back(entry);
    });
    for (const WIN32_FIND_DATAW& entry : entries) {
        const std::wstring path = JoinPath({folder, entry.cFileName});
        visit(path, entry, prefix + entry.cFileName);
        if (IsPlainFolder(entry) && depth < kDepthLimit)
            Walk(path, prefix + entry.cFileName + L"/", {}, depth + 1, visit);
    }
}

bool IsWalkable(const std::wstring& folder)
{
    const DWORD attributes =
        IsUsablePath(folder) ? ::GetFileAttributesW(SystemPath(folder).c_str()) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::uint64_t ContentHash(const std::wstring& path, const WIN32_FIND_DATAW& entry)
{
    std::uint64_t hash = MixValue(kFnvOffset, SizeOf(entry));
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A link: its kind and where it leads, read without following it.
        hash = MixValue(hash ^ 1, entry.dwReserved0);
        const HANDLE link = ::CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr);
        if (link == INVALID_HANDLE_VALUE)
            return hash;
        std::vector<unsigned char> target(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
        DWORD length = 0;
        if (::DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, target.data(),
                              static_cast<DWORD>(target.size()), &length, nullptr))
            hash = Mix(hash, target.data(), length);
        ::CloseHandle(link);
        return hash;
    }
    if (SizeOf(entry) > kContentLimit) {
        // Too large to read on every look: its identity and last change.
        const HANDLE file = ::CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        FILE_BASIC_INFO basic{};
        if (file != INVALID_HANDLE_VALUE) {
            if (::GetFileInformationByHandle(file, &info))
                hash = MixValue(MixValue(hash, info.nFileIndexHigh), info.nFileIndexLow);
            if (::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
                hash = MixValue(hash, basic.ChangeTime.QuadPart);
            ::CloseHandle(file);
        }
        hash = MixValue(hash, entry.ftLastWriteTime.dwLowDateTime);
        return MixValue(hash, entry.ftLastWriteTime.dwHighDateTime);
    }
    const HANDLE file =
        ::CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return hash ^ 3;
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return hash ^ 2;
    }
    char buffer[16384];
    DWORD count = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0)
        hash = Mix(hash, buffer, count);
    ::CloseHandle(file);
    return hash;
}

}  // namespace

std::uint64_t FolderBytes(const std::wstring& folder)
{
    if (!IsWalkable(folder))
        return 0;
    std::uint64_t bytes = 0;
    Walk(folder, std::wstring(), {}, 0,
         [&bytes](const std::wstring& path, const WIN32_FIND_DATAW& entry, const std::wstring&) {
             if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
                 return;
             DWORD high = 0;
             const DWORD low = ::GetCompressedFileSizeW(SystemPath(path).c_str(), &high);
             if (low != INVALID_FILE_SIZE || ::GetLastError() == NO_ERROR)
                 bytes += (static_cast<std::uint64_t>(high) << 32) | low;
             else
                 bytes += SizeOf(entry);
         });
    return bytes;
}

std::map<std::string, std::uint64_t> FolderFiles(const std::wstring& folder, const std::vector<std::wstring>& skip)
{
    std::map<std::string, std::uint64_t> files;
    if (!IsWalkable(folder))
        return files;
    Walk(folder, std::wstring(), skip, 0,
         [&files](const std::wstring& path, const WIN32_FIND_DATAW& entry, const std::wstring& relative) {
             if (!IsPlainFolder(entry))
                 files[ToUtf8(relative)] = ContentHash(path, entry);
         });
    return files;
}

}  // namespace Quillet::Platform
