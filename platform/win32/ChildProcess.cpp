// ChildProcess on Windows: a stub. No child is ever started (Spawn fails with
// ERROR_CALL_NOT_IMPLEMENTED), so every object stays empty. The port will
// start children with CreateProcessW into a job object with
// JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, which kills them when the host's last
// handle on it closes, so they die with their host (outliveHost: a child
// created with CREATE_BREAKAWAY_FROM_JOB); a child's end is Exited with its
// exit code, or Killed with the code TerminateProcess gave it.
#include "platform/win32/Internal.h"

#include "platform/ChildProcess.h"

namespace Quillet::Platform {

bool ChildEnd::IsFileSizeLimit() const
{
    return false;
}

std::string ChildEnd::Describe() const
{
    return (kind == Kind::Exited ? "exit code " : "terminated with code ") + std::to_string(code);
}

void ChildProcess::Release() noexcept
{
    handle.Reset();
    processId = -1;
}

std::error_code ChildProcess::Spawn(const std::vector<std::wstring>& argv, const SpawnOptions& options,
                                    ChildProcess& out)
{
    Start(argv, options, out);
    return std::error_code(ERROR_CALL_NOT_IMPLEMENTED, std::system_category());
}

bool ChildProcess::Start(const std::vector<std::wstring>&, const SpawnOptions&, ChildProcess& out)
{
    out = ChildProcess();
    SetNotSupported();
    return false;
}

bool ChildProcess::Adopt(std::int64_t, ChildProcess&)
{
    return false;
}

std::wstring ChildProcess::InheritedHandleName(std::size_t)
{
    return std::wstring();
}

std::wstring ChildProcess::FindProgram(const std::wstring&)
{
    SetNotSupported();
    return std::wstring();
}

std::uint64_t ChildProcess::GetUnlinkedOpenBytes() const
{
    return 0;
}

std::uint64_t ChildProcess::GetDataBytes() const
{
    return 0;
}

std::optional<ChildEnd> ChildProcess::TryGetEnd()
{
    return std::nullopt;
}

std::optional<ChildEnd> ChildProcess::Wait(int)
{
    return std::nullopt;
}

void ChildProcess::Kill()
{
}

}  // namespace Quillet::Platform
