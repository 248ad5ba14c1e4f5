// ChildProcess: what is the same on every system: its life as an owner of one
// child (ending it when the owner goes) and moving it between owners.
#include "platform/ChildProcess.h"

#include <utility>

namespace Quillet::Platform {

ChildProcess::~ChildProcess()
{
    Release();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : handle(std::move(other.handle)),
      job(std::move(other.job)),
      processId(other.processId),
      reaped(other.reaped),
      end(other.end)
{
    other.processId = -1;
    other.reaped = false;
    other.end = ChildEnd();
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        Release();
        handle = std::move(other.handle);
        job = std::move(other.job);
        processId = other.processId;
        reaped = other.reaped;
        end = other.end;
        other.processId = -1;
        other.reaped = false;
        other.end = ChildEnd();
    }
    return *this;
}

}  // namespace Quillet::Platform
