// ZBaseStorage, ZFileStorage, ZDirStorage and ZFileStream on Windows: the
// wide-character file calls (CreateFileW, CopyFileW, MoveFileExW,
// FindFirstFileExW), GetTempPathW and the fonts folder FOLDERID_Fonts.
#include "platform/win32/Files.h"

#include "platform/Paths.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"

#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <system_error>

namespace Quillet {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// The attributes of what path names, links followed; false when nothing is there.
bool AttributesOf(const ZString& path, DWORD& attributes)
{
    if (!Platform::IsUsablePath(path.Str()))
        return false;
    const HANDLE file = ::CreateFileW(Platform::SystemPath(path.Str()).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    // A device (NUL, COM1) has no file information: it is a file of its own kind.
    attributes = ::GetFileInformationByHandle(file, &info) ? info.dwFileAttributes : FILE_ATTRIBUTE_DEVICE;
    ::CloseHandle(file);
    return true;
}

bool WriteAll(HANDLE file, const void* data, std::size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!::WriteFile(file, p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

std::wstring SystemMessage(DWORD error)
{
    return FromUtf8(std::system_category().message(static_cast<int>(error)));
}

}  // namespace

const wchar_t* const ZBaseStorage::kZPathDelimStr = L"\\";

bool ZBaseStorage::TempDirPath(std::wstring& path)
{
    // The user's own temporary folder (%TMP%, %TEMP%, else the profile's),
    // always ending in "\".
    path.assign(MAX_PATH + 2, L'\0');
    const DWORD length = ::GetTempPathW(static_cast<DWORD>(path.size()), path.data());
    if (length == 0 || length >= path.size()) {
        path.clear();
        return false;
    }
    path.resize(length);
    if (!Platform::IsPathSeparator(path.back()))
        path += L'\\';
    return true;
}

std::wstring ZBaseStorage::FontsFolderPath()
{
    PWSTR found = nullptr;
    std::wstring folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Fonts, KF_FLAG_DONT_VERIFY, nullptr, &found)) && found != nullptr)
        folder = Platform::WithoutTrailingSeparators(found);
    ::CoTaskMemFree(found);
    const DWORD attributes =
        folder.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(Platform::SystemPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return std::wstring();
    return folder;
}

std::wstring ZBaseStorage::UserTempDirPath(const std::wstring& name)
{
    // The user's SID stands for the user's number: it is the same user
    // wherever the temporary folder points.
    std::wstring path;
    TempDirPath(path);
    std::vector<unsigned char> sid = Platform::CurrentUserSid();
    LPWSTR text = nullptr;
    std::wstring user = L"unknown";
    if (!sid.empty() && ::ConvertSidToStringSidW(sid.data(), &text)) {
        user = text;
        ::LocalFree(text);
    }
    return path + name + L"-" + user + L"\\";
}

bool ZBaseStorage::MakeAbsolute(std::wstring& path)
{
    // "C:\..." and "\\server\..." are absolute; "\dir" (the current drive's
    // root) and "C:dir" (that drive's current folder) are not.
    const bool drive = path.size() >= 3 && path[1] == L':' && Platform::IsPathSeparator(path[2]);
    const bool unc = path.size() >= 2 && Platform::IsPathSeparator(path[0]) && Platform::IsPathSeparator(path[1]);
    if (drive || unc)
        return true;
    if (path.find(L'\0') != std::wstring::npos)
        return false;
    if (path.empty()) {
        std::wstring current(MAX_PATH, L'\0');
        DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
        if (length >= current.size()) {
            current.resize(length);
            length = ::GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
        }
        if (length == 0 || length >= current.size())
            return false;
        current.resize(length);
        path = current;
        return true;
    }
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return false;
    full.resize(length);
    path = full;
    return true;
}

bool ZFileStorage::Exists() const
{
    DWORD attributes = 0;
    return AttributesOf(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

tagZBASESTAT ZFileStorage::Copy(const ZString& dest, bool failIfExists) const
{
    const std::wstring& from = path.Str();
    const std::wstring& to = dest.Str();
    if (!Platform::IsUsablePath(from) || !Platform::IsUsablePath(to))
        return ZBASE_FAILED;
    if (failIfExists) {
        // CopyFileW creates dest only when nothing is there, against other
        // creators too, and removes what it wrote when the copy fails.
        const bool copied = ::CopyFileW(Platform::SystemPath(from).c_str(), Platform::SystemPath(to).c_str(), TRUE);
        return copied ? ZBASE_OK : ZBASE_FAILED;
    }
    // A copy beside dest renamed over it: readers never see half a file, and
    // a file copied onto itself stays whole.
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char bytes[6] = {};
        if (!Platform::FillRandom(bytes, sizeof bytes))
            return ZBASE_FAILED;
        std::wstring temp = to + L".qvcopy";
        for (unsigned char b : bytes)
            temp.push_back(static_cast<wchar_t>(L'a' + b % 26));
        if (!::CopyFileW(Platform::SystemPath(from).c_str(), Platform::SystemPath(temp).c_str(), TRUE)) {
            if (::GetLastError() == ERROR_FILE_EXISTS)
                continue;
            return ZBASE_FAILED;
        }
        if (::MoveFileExW(Platform::SystemPath(temp).c_str(), Platform::SystemPath(to).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return ZBASE_OK;
        const DWORD error = ::GetLastError();
        ::DeleteFileW(Platform::SystemPath(temp).c_str());
        ::SetLastError(error);
        return ZBASE_FAILED;
    }
    return ZBASE_FAILED;
}

tagZBASESTAT ZFileStorage::Delete(bool /*secure*/) const
{
    const bool deleted = Platform::IsUsablePath(path.Str()) && ::DeleteFileW(Platform::SystemPath(path.Str()).c_str());
    return deleted ? ZBASE_OK : ZBASE_FAILED;
}

bool ZFileStorage::GetSize(unsigned long long& size) const
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!Platform::IsUsablePath(path.Str()) ||
        !::GetFileAttributesExW(Platform::SystemPath(path.Str()).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool ZDirStorage::Exists() const
{
    DWORD attributes = 0;
    return AttributesOf(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ZDirStorage::CreateOwn(std::string& why) const
{
    const std::wstring native = Platform::WithoutTrailingSeparators(path.Str());
    if (!Platform::IsUsablePath(native)) {
        why = "the folder has no usable name";
        return false;
    }
    const std::string name = ToUtf8(native);
    Platform::OwnerOnlySecurity security;
    if (!::CreateDirectoryW(Platform::SystemPath(native).c_str(), security.Attributes()) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        why = "the folder " + name + " cannot be created (" + ToUtf8(SystemMessage(::GetLastError())) + ")";
        return false;
    }
    // Looked at without following a link: whatever another user planted
    // under the name is refused, never written through.
    const DWORD attributes = ::GetFileAttributesW(Platform::SystemPath(native).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        why = "the folder " + name + " cannot be read (" + ToUtf8(SystemMessage(::GetLastError())) + ")";
    else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        why = "the folder " + name + " is a symbolic link; a default folder is never reached through one";
    else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        why = name + " is not a folder";
    else if (!Platform::IsOwnedBySelf(native))
        why = "the folder " + name + " belongs to another user";
    else
        return true;
    return false;
}

void ZDirStorage::List(const std::wstring& prefix, std::vector<std::wstring>& names) const
{
    Platform::ForEachEntry(path.Str(), [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring name = entry.cFileName;
        if (name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(name);
    });
}

namespace {

std::uint64_t ContentSize(const std::wstring& folder, const std::wstring& prefix, bool recursive, int depth)
{
    std::uint64_t bytes = 0;
    std::vector<std::wstring> folders;
    Platform::ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring name = entry.cFileName;
        if (name.compare(0, prefix.size(), prefix) != 0)
            return;
        if ((entry.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0)
            bytes += (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        else if (Platform::IsPlainFolder(entry) && recursive && depth < 64)
            folders.push_back(name);
    });
    for (const std::wstring& name : folders)
        bytes += ContentSize(Platform::JoinPath({folder, name}), std::wstring(), true, depth + 1);
    return bytes;
}

}  // namespace

std::uint64_t ZDirStorage::GetContentSize(const std::wstring& prefix, bool recursive) const
{
    return ContentSize(path.Str(), prefix, recursive, 0);
}

tagZBASESTAT ZDirStorage::Create() const
{
    const std::wstring native = Platform::WithoutTrailingSeparators(path.Str());
    if (!Platform::IsUsablePath(native))
        return ZBASE_FAILED;
    // Each missing level in turn, past the root ("C:\", "\\server\share\");
    // a level another thread or process makes meanwhile is fine as long as
    // it is a folder.
    for (std::size_t at = Platform::PathRootLength(native) + 1; at <= native.size(); ++at) {
        if (at < native.size() && !Platform::IsPathSeparator(native[at]))
            continue;
        const std::wstring part = native.substr(0, at);
        if (Platform::IsPathSeparator(part.back()))
            continue;  // a doubled separator
        if (!::CreateDirectoryW(Platform::SystemPath(part).c_str(), nullptr)) {
            const DWORD attributes = ::GetFileAttributesW(Platform::SystemPath(part).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                return ZBASE_FAILED;
        }
    }
    return ZBASE_OK;
}

ZFileStream::~ZFileStream()
{
    Close();
}

tagZBASESTAT ZFileStream::Open(int mode, const ZString& path)
{
    Close();
    DWORD access;
    DWORD disposition;
    switch (mode) {
    case kRead: access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case kCreate: access = GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    case kAppend: access = FILE_APPEND_DATA | SYNCHRONIZE; disposition = OPEN_ALWAYS; break;
    default: return ZBASE_FAILED;
    }
    if (!Platform::IsUsablePath(path.Str()))
        return ZBASE_FAILED;
    // Shared for everything, as a POSIX open is.
    const HANDLE file = ::CreateFileW(Platform::SystemPath(path.Str()).c_str(), access, kShareAll, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ZBASE_FAILED;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(file);
        return ZBASE_FAILED;
    }
    handle = Platform::HandleOf(file);
    return ZBASE_OK;
}

tagZBASESTAT ZFileStream::Write(const void* data, std::size_t size)
{
    if (!IsOpen())
        return ZBASE_FAILED;
    return WriteAll(Platform::ToHandle(handle), data, size) ? ZBASE_OK : ZBASE_FAILED;
}

tagZBASESTAT ZFileStream::Read(void* data, std::size_t size, std::size_t& count)
{
    count = 0;
    if (!IsOpen())
        return ZBASE_FAILED;
    DWORD got = 0;
    if (!::ReadFile(Platform::ToHandle(handle), data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &got,
                    nullptr))
        return ::GetLastError() == ERROR_BROKEN_PIPE ? ZBASE_OK : ZBASE_FAILED;
    count = got;
    return ZBASE_OK;
}

void ZFileStream::Close()
{
    if (handle.IsValid()) {
        ::CloseHandle(Platform::ToHandle(handle));
        handle = Platform::kInvalidHandle;
    }
}

bool ZFileStream::IsOpen() const
{
    return handle.IsValid();
}

}  // namespace Quillet
