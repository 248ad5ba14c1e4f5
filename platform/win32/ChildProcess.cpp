// ChildProcess on Windows: a stub. No child is ever started (Spawn fails with
// ERROR_CALL_NOT_IMPLEMENTED), so every object stays empty. The port will
// start children with CreateProcessW into a job object that kills them when
// the host's last handle on it closes, so they die with their host.
#include "platform/win32/Internal.h"

#include "platform/ChildProcess.h"

namespace Quillet::Platform {

ChildProcess::~ChildProcess()
{
    Release();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : handle(std::move(other.handle)),
      processId(other.processId),
      reaped(other.reaped),
      exitCode(other.exitCode),
      endedBySignal(other.endedBySignal)
{
    other.processId = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        Release();
        handle = std::move(other.handle);
        processId = other.processId;
        reaped = other.reaped;
        exitCode = other.exitCode;
        endedBySignal = other.endedBySignal;
        other.processId = -1;
    }
    return *this;
}

void ChildProcess::Release() noexcept
{
    handle.Reset();
    processId = -1;
}

bool ChildProcess::Spawn(const std::vector<std::wstring>&, const SpawnOptions&, ChildProcess& out)
{
    out = ChildProcess();
    SetNotSupported();
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

bool ChildProcess::IsFileSizeLimitEnd(int)
{
    return false;
}

bool ChildProcess::TryGetExitCode(int&)
{
    return false;
}

bool ChildProcess::Wait(int, int&)
{
    return false;
}

void ChildProcess::Kill()
{
}

}  // namespace Quillet::Platform
