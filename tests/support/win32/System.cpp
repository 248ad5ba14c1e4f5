// The test support's OS calls on Windows: wide environment and file calls,
// the process's own module, a Toolhelp snapshot of the processes.
#include <windows.h>
#include <tlhelp32.h>

#include "support/System.h"

#include "platform/TextConversion.h"

#include <filesystem>
#include <random>
#include <stdexcept>

namespace QuilletTest {

std::string MakeUniqueFolder(const std::string& prefix)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = prefix;
        for (int i = 0; i < 6; ++i)
            path += letters[random() % (sizeof letters - 1)];
        // A new folder inherits the DACL of the temporary folder, which is
        // the user's own profile folder.
        if (::CreateDirectoryW(Quillet::FromUtf8(path).c_str(), nullptr))
            return path;
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error("cannot make a scratch folder " + prefix + "XXXXXX");
}

void SetEnvironmentValue(const std::string& name, const char* value)
{
    // The C runtime's copy, which std::getenv reads, and the process's, which
    // GetEnvironmentVariableW and children read, both change.
    const std::wstring wideName = Quillet::FromUtf8(name);
    ::_wputenv_s(wideName.c_str(), value ? Quillet::FromUtf8(value).c_str() : L"");
    ::SetEnvironmentVariableW(wideName.c_str(), value ? Quillet::FromUtf8(value).c_str() : nullptr);
}

std::string RunningProgramPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            throw std::runtime_error("cannot read the test program's path");
        if (length < path.size())
            return Quillet::ToUtf8(path.substr(0, length));
        path.resize(path.size() * 2);
    }
}

int CurrentProcessId()
{
    return static_cast<int>(::GetCurrentProcessId());
}

std::size_t OpenDescriptorCount(const std::string&)
{
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

std::vector<int> ChildrenOfThisProcess(int parentId, const char* name)
{
    if (parentId == 0)
        parentId = CurrentProcessId();
    std::vector<int> children;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (static_cast<int>(entry.th32ParentProcessID) != parentId)
            continue;
        std::wstring exe = entry.szExeFile;
        if (exe.size() > 4 && _wcsicmp(exe.c_str() + exe.size() - 4, L".exe") == 0)
            exe.resize(exe.size() - 4);
        if (name == nullptr || _wcsicmp(exe.c_str(), Quillet::FromUtf8(name).c_str()) == 0)
            children.push_back(static_cast<int>(entry.th32ProcessID));
    }
    ::CloseHandle(snapshot);
    return children;
}

}  // namespace QuilletTest
