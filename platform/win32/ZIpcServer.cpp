// The job-key endpoint's server on Windows: a stub that never listens (every
// wait fails, as for an endpoint that cannot be opened). The port will serve
// a message-mode named pipe and judge each client by its token.
#include "platform/win32/Internal.h"

#include "platform/ZIpcServer.h"

namespace Quillet {

struct ZIpcServer::Impl {
};

ZIpcServer::ZIpcServer(const ZString&)
{
    Platform::SetNotSupported();
}

ZIpcServer::~ZIpcServer() = default;

bool ZIpcServer::IsListening() const
{
    return false;
}

std::wstring ZIpcServer::GetSocketPath() const
{
    return std::wstring();
}

tagZBASESTAT ZIpcServer::AcceptClient(std::uint32_t)
{
    return ZBASE_FAILED;
}

tagZBASESTAT ZIpcServer::Receive(void*, std::uint32_t& len)
{
    len = 0;
    return ZBASE_FAILED;
}

tagZBASESTAT ZIpcServer::Send(const void*, std::uint32_t)
{
    return ZBASE_FAILED;
}

void ZIpcServer::CloseCurrentClient()
{
}

void ZIpcServer::StopAcceptClients()
{
}

std::wstring ZIpcServer::EndpointFolder(const std::wstring&)
{
    return std::wstring();
}

}  // namespace Quillet
