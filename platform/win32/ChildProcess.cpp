// ChildProcess on Windows: CreateProcessW with the one command line
// CommandLine.h joins, an extended start-up record whose handle list names
// exactly the handles the child gets, a Unicode environment block, and every
// child in a job object of its own that kills it when its last handle closes,
// so it dies with its host however the host ends (the handle is this
// process's, never inherited). The process handle is the wait handle; a child
// we ended with TerminateProcess, or one an exception ended, is Killed.
#include "platform/win32/ConfinedChild.h"
#include "platform/win32/Files.h"

#include "platform/ChildProcess.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Paths.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <mutex>
#include <string_view>

namespace Quillet::Platform {

namespace {

/// The exit code Kill gives, which a program that ends by itself does not
/// use: the code a debugger's kill gives.
constexpr UINT kKilledCode = 0x40010004;
/// Exit codes from here up are the system's status of an exception that
/// ended the process (an access violation, a stack overflow).
constexpr DWORD kFirstExceptionCode = 0xC0000000;
/// CreateProcessW's bound on the command line, its end included.
constexpr std::size_t kMostCommandLine = 32767;
/// What InheritedHandleName puts where Spawn writes the inherited handle's
/// value: Ghostscript's Windows device for an open handle, "%handle%" and
/// the value in hexadecimal.
constexpr std::wstring_view kHandleDevice = L"%handle%";

/// path, links resolved, when it names a file (not a folder); else empty.
std::wstring ExistingProgram(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::wstring();
    UniqueHandle file(HandleOf(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file.IsValid())
        return std::wstring();
    const std::wstring final = FinalPathOf(ToHandle(file.Get()));
    return final.empty() ? path : final;
}

bool HasSeparator(const std::wstring& name)
{
    return std::any_of(name.begin(), name.end(), IsPathSeparator) || name.find(L':') != std::wstring::npos;
}

bool HasExtension(const std::wstring& name)
{
    const std::wstring file = FileNameOf(name);
    return file.find(L'.') != std::wstring::npos;
}

bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return std::towupper(x) == std::towupper(y); });
}

/// The child's environment block: this process's entries (the drive
/// folders "=C:=C:\..." kept as they are) with extra over them, names
/// compared ignoring case as Windows does, sorted as CreateProcessW wants.
/// False for a name the block cannot hold.
bool EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& extra, std::wstring& block)
{
    std::vector<std::wstring> hidden;
    std::vector<std::string> ownUtf8;
    if (wchar_t* strings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring_view text(entry);
            if (text.front() == L'=') {
                hidden.emplace_back(text);
                continue;
            }
            const std::wstring_view name = text.substr(0, text.find(L'='));
            const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& e) {
                return SameNameIgnoringCase(e.first, name);
            });
            if (!replaced)
                ownUtf8.push_back(ToUtf8(std::wstring(text)));
        }
        ::FreeEnvironmentStringsW(strings);
    }
    const std::vector<std::string_view> inherited(ownUtf8.begin(), ownUtf8.end());
    std::vector<std::string> merged;
    if (!BuildEnvironment(inherited, extra, merged))
        return false;
    std::vector<std::wstring> entries = hidden;
    for (const std::string& entry : merged) {
        const std::wstring wide = FromUtf8(entry);
        const std::wstring_view name = std::wstring_view(wide).substr(0, wide.find(L'='));
        // Of names equal but for case in extra, the last one given stays.
        entries.erase(std::remove_if(entries.begin() + static_cast<std::ptrdiff_t>(hidden.size()), entries.end(),
                                     [&](const std::wstring& e) {
                                         return SameNameIgnoringCase(std::wstring_view(e).substr(0, e.find(L'=')), name);
                                     }),
                      entries.end());
        entries.push_back(wide);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        const std::wstring_view x = std::wstring_view(a).substr(0, a.find(L'=', 1));
        const std::wstring_view y = std::wstring_view(b).substr(0, b.find(L'=', 1));
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                            [](wchar_t p, wchar_t q) { return std::towupper(p) < std::towupper(q); });
    });
    block.clear();
    for (const std::wstring& entry : entries) {
        block += entry;
        block.push_back(L'\0');
    }
    if (entries.empty())
        block.push_back(L'\0');
    block.push_back(L'\0');
    return true;
}

/// handle as an inheritable duplicate for one child, or the null device for
/// none. Closed once the child has started.
bool InheritableCopy(NativeHandle handle, bool standard, UniqueHandle& out)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!handle.IsValid()) {
        if (!standard) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        out.Reset(HandleOf(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherit, OPEN_EXISTING, 0, nullptr)));
        return out.IsValid();
    }
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ToHandle(handle), ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
        return false;
    out.Reset(HandleOf(copy));
    return true;
}

std::wstring HandleDeviceName(HANDLE handle)
{
    wchar_t digits[24];
    std::swprintf(digits, sizeof digits / sizeof digits[0], L"%08llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
    return std::wstring(kHandleDevice) + digits;
}

/// A job that ends the child with its last handle (unless outliveHost), bounds
/// each process's memory and, for a confined child, allows it no process of
/// its own.
bool MakeJob(const SpawnOptions& options, UniqueHandle& job)
{
    job.Reset(HandleOf(::CreateJobObjectW(nullptr, nullptr)));
    if (!job.IsValid())
        return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // No error dialog waits for a user: an unhandled exception ends the process.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!options.outliveHost)
        limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    const Confinement::Prepared* confined =
        options.confinement != nullptr && options.confinement->GetPrepared().enabled ? &options.confinement->GetPrepared()
                                                                                     : nullptr;
    if (confined != nullptr) {
        limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
        limits.BasicLimitInformation.ActiveProcessLimit = 1;
        if (confined->processMemory > 0) {
            limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
            limits.ProcessMemoryLimit = static_cast<SIZE_T>(confined->processMemory);
        }
    }
    return ::SetInformationJobObject(ToHandle(job.Get()), JobObjectExtendedLimitInformation, &limits,
                                     sizeof limits) != FALSE;
}

}  // namespace

bool ChildEnd::IsFileSizeLimit() const
{
    // Windows has no bound on a file's length; the runner counts the bytes.
    return false;
}

std::string ChildEnd::Describe() const
{
    if (kind == Kind::Exited)
        return "exit code " + std::to_string(code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    return std::string("terminated with code ") + hex;
}

void ChildProcess::Release() noexcept
{
    if (handle.IsValid() && !reaped) {
        Kill();
        ::WaitForSingleObject(ToHandle(handle.Get()), INFINITE);
    }
    handle.Reset();
    job.Reset();
    processId = -1;
    reaped = false;
    end = ChildEnd();
}

std::error_code ChildProcess::Spawn(const std::vector<std::wstring>& argv, const SpawnOptions& options,
                                    ChildProcess& out)
{
    out = ChildProcess();
    if (argv.empty())
        return std::make_error_code(std::errc::invalid_argument);
    if (options.confinement != nullptr && !options.confinement->IsReady())
        return std::make_error_code(std::errc::operation_not_permitted);
    std::size_t bytes = 0;
    for (const std::wstring& arg : argv)
        bytes += arg.size() + 3;
    if (bytes >= kMostCommandLine)
        return std::make_error_code(std::errc::argument_list_too_long);
    if (!Start(argv, options, out))
        return LastError();
    return std::error_code();
}

bool ChildProcess::Start(const std::vector<std::wstring>& argv, const SpawnOptions& options, ChildProcess& out)
{
    const std::wstring program = FindProgram(argv[0]);
    if (program.empty()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::vector<std::pair<std::wstring, std::wstring>> environment = options.environment;
    if (options.confinement != nullptr) {
        const auto& own = options.confinement->GetRules().environment;
        environment.insert(environment.end(), own.begin(), own.end());
    }
    std::wstring block;
    if (!EnvironmentBlock(environment, block)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }

    // Inheritable copies of exactly the child's handles, which the handle
    // list restricts it to; our own handles stay uninheritable. The copies
    // live under one lock until they are closed, so that no other start of
    // ours sees them inheritable where the list is not honoured (Wine passes
    // every inheritable handle).
    static std::mutex startLock;
    const std::lock_guard<std::mutex> copiesLive(startLock);
    UniqueHandle standard[3];
    const NativeHandle sources[3] = {options.stdIn, options.stdOut, options.stdErr};
    for (int i = 0; i < 3; ++i) {
        if (!InheritableCopy(sources[i], true, standard[i]))
            return false;
    }
    std::vector<UniqueHandle> inherited(options.inherited.size());
    for (std::size_t i = 0; i < inherited.size(); ++i) {
        if (!InheritableCopy(options.inherited[i], false, inherited[i]))
            return false;
    }
    std::vector<HANDLE> list;
    for (const UniqueHandle& h : standard)
        list.push_back(ToHandle(h.Get()));
    for (const UniqueHandle& h : inherited)
        list.push_back(ToHandle(h.Get()));

    // The child opens its inherited handles by Ghostscript's device name of
    // the value it inherits them under, which is the copy's value here.
    std::vector<std::wstring> args = argv;
    for (std::wstring& arg : args) {
        for (std::size_t i = 0; i < inherited.size(); ++i) {
            const std::wstring marker = InheritedHandleName(i);
            for (std::size_t at = arg.find(marker); at != std::wstring::npos; at = arg.find(marker, at + 1))
                arg.replace(at, marker.size(), HandleDeviceName(ToHandle(inherited[i].Get())));
        }
    }
    std::wstring commandLine = JoinCommandLine(args);

    std::wstring folder;
    if (options.workingFolder.IsValid()) {
        folder = FinalPathOf(ToHandle(options.workingFolder));
        if (folder.empty())
            return false;
    }

    SIZE_T attributeBytes = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeBytes);
    std::vector<unsigned char> attributeStore(attributeBytes);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeStore.data());
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeBytes))
        return false;
    struct ListEnd {
        LPPROC_THREAD_ATTRIBUTE_LIST list;
        ~ListEnd() { ::DeleteProcThreadAttributeList(list); }
    } listEnd{attributes};
    // The same handle twice in the list is refused: a child's output and
    // error are often one pipe.
    std::vector<HANDLE> unique = list;
    std::sort(unique.begin(), unique.end());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, unique.data(),
                                     unique.size() * sizeof(HANDLE), nullptr, nullptr))
        return false;

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = list[0];
    startup.StartupInfo.hStdOutput = list[1];
    startup.StartupInfo.hStdError = list[2];
    startup.lpAttributeList = attributes;

    UniqueHandle job;
    if (!MakeJob(options, job))
        return false;
    // Suspended until it is in its job: no instruction of it runs outside.
    DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
    // A host without a console of its own opens no window for its children.
    if (::GetConsoleWindow() == nullptr)
        flags |= CREATE_NO_WINDOW;
    const Confinement::Prepared* confined =
        options.confinement != nullptr && options.confinement->GetPrepared().enabled ? &options.confinement->GetPrepared()
                                                                                     : nullptr;
    PROCESS_INFORMATION created{};
    BOOL ok;
    if (confined != nullptr && confined->token.IsValid()) {
        // A restricted copy of our own token needs no privilege to be given.
        ok = ::CreateProcessAsUserW(ToHandle(confined->token.Get()), program.c_str(), commandLine.data(), nullptr,
                                    nullptr, TRUE, flags, block.data(), folder.empty() ? nullptr : folder.c_str(),
                                    &startup.StartupInfo, &created);
    } else {
        ok = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, block.data(),
                              folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &created);
    }
    if (!ok)
        return false;
    UniqueHandle process(HandleOf(created.hProcess));
    UniqueHandle thread(HandleOf(created.hThread));
    if (!::AssignProcessToJobObject(ToHandle(job.Get()), created.hProcess)) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(created.hProcess, kKilledCode);
        ::WaitForSingleObject(created.hProcess, INFINITE);
        ::SetLastError(error);
        return false;
    }
    if (::ResumeThread(created.hThread) == static_cast<DWORD>(-1)) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(created.hProcess, kKilledCode);
        ::WaitForSingleObject(created.hProcess, INFINITE);
        ::SetLastError(error);
        return false;
    }
    out.handle = std::move(process);
    out.job = std::move(job);
    out.processId = created.dwProcessId;
    return true;
}

bool ChildProcess::Adopt(std::int64_t, ChildProcess&)
{
    // Windows hands the process handle to its creator: nothing to adopt.
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

std::wstring ChildProcess::InheritedHandleName(std::size_t i)
{
    // Replaced by Spawn with the handle's value in the child.
    return std::wstring(kHandleDevice) + L"{" + std::to_wstring(i) + L"}";
}

std::wstring ChildProcess::FindProgram(const std::wstring& name)
{
    if (name.empty() || name.find(L'\0') != std::wstring::npos)
        return std::wstring();
    const auto candidate = [](const std::wstring& path) {
        std::wstring found = ExistingProgram(path);
        if (found.empty() && !HasExtension(path))
            found = ExistingProgram(path + L".exe");
        return found;
    };
    if (HasSeparator(name))
        return candidate(name);
    const DWORD size = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring path(size, L'\0');
    if (size == 0 || ::GetEnvironmentVariableW(L"PATH", path.data(), size) == 0)
        return std::wstring();
    path.resize(wcslen(path.c_str()));
    for (std::size_t from = 0; from <= path.size();) {
        std::size_t to = path.find(L';', from);
        if (to == std::wstring::npos)
            to = path.size();
        std::wstring folder = path.substr(from, to - from);
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
            folder = folder.substr(1, folder.size() - 2);
        if (!folder.empty()) {
            const std::wstring found = candidate(JoinPath({folder, name}));
            if (!found.empty())
                return found;
        }
        from = to + 1;
    }
    return std::wstring();
}

std::uint64_t ChildProcess::GetUnlinkedOpenBytes() const
{
    // A file removed while open keeps its name on Windows until it is
    // closed, so a folder's listing still counts it.
    return 0;
}

std::uint64_t ChildProcess::GetDataBytes() const
{
    if (!handle.IsValid() || reaped)
        return 0;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::K32GetProcessMemoryInfo(ToHandle(handle.Get()), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                   sizeof counters))
        return 0;
    return counters.PrivateUsage;
}

std::optional<ChildEnd> ChildProcess::TryGetEnd()
{
    if (!handle.IsValid())
        return std::nullopt;
    if (reaped)
        return end;
    if (::WaitForSingleObject(ToHandle(handle.Get()), 0) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(ToHandle(handle.Get()), &code))
        code = 0;
    end.kind = code == kKilledCode || code >= kFirstExceptionCode ? ChildEnd::Kind::Killed : ChildEnd::Kind::Exited;
    end.code = static_cast<int>(code);
    reaped = true;
    // Its job has nothing left to end.
    job.Reset();
    return end;
}

std::optional<ChildEnd> ChildProcess::Wait(int timeoutMs)
{
    if (!handle.IsValid())
        return std::nullopt;
    if (!reaped &&
        ::WaitForSingleObject(ToHandle(handle.Get()), timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) !=
            WAIT_OBJECT_0)
        return std::nullopt;
    return TryGetEnd();
}

void ChildProcess::Kill()
{
    if (!handle.IsValid() || reaped)
        return;
    // The whole job: a process the child started goes with it.
    if (!job.IsValid() || !::TerminateJobObject(ToHandle(job.Get()), kKilledCode))
        ::TerminateProcess(ToHandle(handle.Get()), kKilledCode);
}

}  // namespace Quillet::Platform
