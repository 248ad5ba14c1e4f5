// KeyAccessor: accepts print-path clients until one proves the job by its tag,
// then takes its job-key string.
#include "capture/KeyAccessor.h"

#include "platform/TextConversion.h"
#include "platform/ZIpcServer.h"

#include <cstdint>

namespace Quillet {

const wchar_t* const kJobKeyEndpoint = L"719D68FD-2A2F-4088-976B-52DC0A22235C";

namespace {

// The first len / 2 UTF-16LE code units of a message; an odd last byte is dropped.
std::wstring FromWire(const unsigned char* bytes, std::uint32_t len)
{
    std::u16string units(len / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return FromUtf16(units.data(), units.size());
}

}  // namespace

KeyAccessor::KeyAccessor(const std::wstring& expectedTag) : expectedTag(expectedTag) {}

KeyAccessor::~KeyAccessor()
{
    {
        ZLock guard(serverLock);
        if (server) {
            // Both wake a Run blocked in AcceptClient or Receive.
            server->CloseCurrentClient();
            server->StopAcceptClients();
        }
    }
    Join();
    server.reset();
}

bool KeyAccessor::Start()
{
    ZString name;
    if (!name.Set(kJobKeyEndpoint))
        return false;
    {
        ZLock guard(serverLock);
        server = std::make_unique<ZIpcServer>(name);
    }
    return ThreadStart(5);
}

void KeyAccessor::Confirm()
{
    ZLock guard(serverLock);
    if (server) {
        const unsigned char done = 1;
        server->Send(&done, 1);
    }
}

bool KeyAccessor::Accepts(const std::wstring& identity) const
{
    return identity.find(expectedTag) != std::wstring::npos || identity == kJobKeyEndpoint;
}

tagZBASESTAT KeyAccessor::Run()
{
    succeeded = false;
    tagZBASESTAT status = ZBASE_FAILED;
    if (server) {
        unsigned char buffer[ZIpcServer::kMaxMessage] = {};
        // Only a stop or a broken endpoint ends the loop early: a client that
        // hangs up, falls silent or sends no keys is dropped and the next
        // one is served, so no client can end the capture.
        for (status = server->AcceptClient(ZIpcServer::kInfinite); status == ZBASE_OK;
             status = server->AcceptClient(ZIpcServer::kInfinite)) {
            std::uint32_t len = sizeof buffer;
            if (server->Receive(buffer, len) != ZBASE_OK)
                continue;
            const bool accepted = Accepts(FromWire(buffer, len));
            const unsigned char reply = accepted ? 0x01 : 0x00;
            if (server->Send(&reply, 1) != ZBASE_OK || !accepted)
                continue;
            len = sizeof buffer;
            if (server->Receive(buffer, len) == ZBASE_OK && len > 0) {
                keys = FromWire(buffer, len);
                if (!keys.empty())
                    break;
            }
        }
    }
    succeeded = status == ZBASE_OK;
    return status;
}

}  // namespace Quillet
