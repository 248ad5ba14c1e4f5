// ZIpcServer on Windows: a message-mode named pipe per server, made with a
// DACL for this user and the system account, its clients judged by the user
// of their process; blocked calls woken through events.
#include "platform/win32/Internal.h"

#include "platform/ZIpcServer.h"
#include "platform/FileHandle.h"
#include "platform/win32/MessagePipe.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

namespace Quillet {

using Platform::PipeOperation;

namespace {

// Connections accepted but not heard from wait side by side, each with its
// own silence budget; past this many the oldest is dropped. One wait covers
// them with the listener and the stop event: at most 64 handles.
constexpr std::size_t kMaxWaitingClients = MAXIMUM_WAIT_OBJECTS - 2;

/// One instance of the server's pipe and the operation on it. A message one
/// byte longer than the most allowed shows as too long.
struct Instance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    PipeOperation operation;
    unsigned char buffer[ZIpcServer::kMaxMessage + 1];
    std::chrono::steady_clock::time_point deadline;

    // Closed, never disconnected: DisconnectNamedPipe throws away what the
    // client has not read yet (a refusal's 0x00), while after a close the
    // client reads it, then the end.
    ~Instance()
    {
        operation.Cancel();
        if (pipe != INVALID_HANDLE_VALUE)
            ::CloseHandle(pipe);
    }
};

/// The served client: its instance, the first message read while it waited,
/// and an event set when another thread drops it.
struct Client {
    std::unique_ptr<Instance> instance;
    PipeOperation write;
    HANDLE dropped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool haveFirst = false;
    bool firstOk = false;
    DWORD firstError = 0;
    DWORD firstCount = 0;

    ~Client()
    {
        write.Cancel();
        instance.reset();
        if (dropped != nullptr)
            ::CloseHandle(dropped);
    }
};

DWORD MillisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
}

}  // namespace

struct ZIpcServer::Impl {
    std::wstring pipeName;
    Platform::UniqueHandle slotClaim;
    std::vector<BYTE> ownSid;
    Platform::UniqueHandle stopEvent;
    std::atomic<bool> stopped{false};
    // Used by the accepting thread only.
    std::unique_ptr<Instance> listener;
    std::vector<std::unique_ptr<Instance>> waiting;

    // The served client. Shared so that a Receive or Send in progress keeps
    // it (and its handle) while another thread drops it: that thread sets its
    // event and disconnects it, which wakes the call, and the last holder
    // closes the handle.
    std::mutex clientLock;
    std::shared_ptr<Client> client;

    std::shared_ptr<Client> GetClient()
    {
        std::lock_guard<std::mutex> guard(clientLock);
        return client;
    }

    void Drop(const std::shared_ptr<Client>& c)
    {
        std::lock_guard<std::mutex> guard(clientLock);
        if (client == c && client) {
            ::SetEvent(client->dropped);
            client.reset();
        }
    }

    /// A new instance of the pipe waiting for a client. The first one claims
    /// the name (FILE_FLAG_FIRST_PIPE_INSTANCE), so no process can have made
    /// the pipe before with a DACL of its own.
    std::unique_ptr<Instance> Listen(const std::wstring& name, bool first)
    {
        Platform::ScopeSecurity security(Platform::SharedScope::PrintPath);
        if (security.Get() == nullptr)
            return nullptr;
        auto instance = std::make_unique<Instance>();
        instance->pipe = ::CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            PIPE_UNLIMITED_INSTANCES, kMaxMessage, kMaxMessage, 0, security.Get());
        if (instance->pipe == INVALID_HANDLE_VALUE || !instance->operation.StartConnect(instance->pipe))
            return nullptr;
        return instance;
    }
};

ZIpcServer::ZIpcServer(const ZString& name) : impl(std::make_unique<Impl>())
{
    impl->ownSid = Platform::ProcessUserSid();
    impl->stopEvent.Reset(Platform::HandleOf(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    const std::wstring first = EndpointFolder(name.Str());
    if (first.empty() || impl->ownSid.empty() || !impl->stopEvent.IsValid())
        return;
    // The first free slot. A slot is claimed by a named event of its own,
    // which only one process can create; and a pipe name in use (made by
    // anyone else) refuses the first instance with ERROR_ACCESS_DENIED.
    Platform::ScopeSecurity security(Platform::SharedScope::PrintPath);
    for (int slot = 0; slot < Platform::kMaxPipeServers && security.Get() != nullptr; ++slot) {
        const std::wstring pipeName = Platform::PipeSlotName(first, slot);
        const std::wstring claimName = L"QV_Quillet_Pipe_" + pipeName.substr(pipeName.rfind(L'\\') + 1);
        Platform::UniqueHandle claim(
            Platform::HandleOf(::CreateEventW(security.Get(), TRUE, FALSE, claimName.c_str())));
        if (!claim.IsValid() || ::GetLastError() == ERROR_ALREADY_EXISTS)
            continue;
        impl->listener = impl->Listen(pipeName, true);
        if (impl->listener) {
            impl->pipeName = pipeName;
            impl->slotClaim = std::move(claim);
            return;
        }
    }
}

ZIpcServer::~ZIpcServer()
{
    CloseCurrentClient();
    impl->waiting.clear();
    impl->listener.reset();
}

bool ZIpcServer::IsListening() const
{
    return impl->listener != nullptr && !impl->stopped.load();
}

std::wstring ZIpcServer::GetSocketPath() const
{
    return impl->listener ? impl->pipeName : std::wstring();
}

tagZBASESTAT ZIpcServer::AcceptClient(std::uint32_t timeoutMs)
{
    CloseCurrentClient();
    if (!impl->listener)
        return ZBASE_FAILED;
    const bool bounded = timeoutMs != kInfinite;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto& waiting = impl->waiting;
    for (;;) {
        if (impl->stopped.load())
            return ZBASE_STOPPED;
        // Silent clients whose budget is spent count as gone.
        const auto now = std::chrono::steady_clock::now();
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                     [&](const std::unique_ptr<Instance>& c) { return c->deadline <= now; }),
                      waiting.end());
        auto wake = deadline;
        bool anyDeadline = bounded;
        for (const auto& c : waiting) {
            if (!anyDeadline || c->deadline < wake)
                wake = c->deadline;
            anyDeadline = true;
        }
        std::vector<HANDLE> handles{Platform::ToHandle(impl->stopEvent.Get()), impl->listener->operation.Event()};
        for (const auto& c : waiting)
            handles.push_back(c->operation.Event());
        const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                                      anyDeadline ? MillisecondsUntil(wake) : INFINITE);
        if (result == WAIT_OBJECT_0 || impl->stopped.load())
            return ZBASE_STOPPED;
        if (result == WAIT_TIMEOUT) {
            if (bounded && std::chrono::steady_clock::now() >= deadline)
                return ZBASE_TIMEOUT;
            continue;
        }
        if (result < WAIT_OBJECT_0 + 1 || result >= WAIT_OBJECT_0 + handles.size())
            return ZBASE_FAILED;
        const std::size_t index = result - WAIT_OBJECT_0;
        if (index >= 2) {
            // The first client that has spoken (or hung up: Receive tells) is served.
            auto client = std::make_shared<Client>();
            client->instance = std::move(waiting[index - 2]);
            waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(index - 2));
            client->haveFirst = true;
            client->firstOk = client->instance->operation.Finish(client->firstCount);
            client->firstError = client->firstOk ? ERROR_SUCCESS : ::GetLastError();
            std::lock_guard<std::mutex> guard(impl->clientLock);
            impl->client = std::move(client);
            return ZBASE_OK;
        }
        // A client connected: the listener becomes its instance and a new
        // instance listens.
        std::unique_ptr<Instance> connected = std::move(impl->listener);
        impl->listener = impl->Listen(impl->pipeName, false);
        DWORD count = 0;
        const bool served = connected->operation.Finish(count) &&
                            Platform::PipePeerIsOneOf(connected->pipe, true, impl->ownSid);
        // Another user's process is not served: closed here.
        if (served && connected->operation.StartRead(connected->pipe, connected->buffer, sizeof connected->buffer)) {
            if (waiting.size() >= kMaxWaitingClients)
                waiting.erase(waiting.begin());
            connected->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientSilenceMs);
            waiting.push_back(std::move(connected));
        }
        if (!impl->listener)
            return ZBASE_FAILED;
    }
}

tagZBASESTAT ZIpcServer::Receive(void* buffer, std::uint32_t& len)
{
    const std::uint32_t capacity = len;
    len = 0;
    const std::shared_ptr<Client> client = impl->GetClient();
    if (!client)
        return impl->stopped.load() ? ZBASE_STOPPED : ZBASE_FAILED;
    Instance& instance = *client->instance;
    bool ok = false;
    DWORD count = 0;
    if (client->haveFirst) {
        // Read while the client waited to be served.
        client->haveFirst = false;
        ok = client->firstOk;
        count = client->firstCount;
    } else {
        if (!instance.operation.StartRead(instance.pipe, instance.buffer, sizeof instance.buffer)) {
            impl->Drop(client);
            return ZBASE_DISCONNECTED;
        }
        const DWORD result = instance.operation.Wait(
            {Platform::ToHandle(impl->stopEvent.Get()), client->dropped}, static_cast<DWORD>(kClientSilenceMs));
        if (result == WAIT_OBJECT_0 || impl->stopped.load()) {
            instance.operation.Cancel();
            return ZBASE_STOPPED;
        }
        if (result != WAIT_OBJECT_0 + 2) {
            // Dropped by another thread, or silent too long: gone.
            instance.operation.Cancel();
            impl->Drop(client);
            return ZBASE_DISCONNECTED;
        }
        ok = instance.operation.Finish(count);
    }
    // A failed read is a client that has gone, or a message longer than the
    // most allowed (ERROR_MORE_DATA): a peer breaking the protocol is
    // treated as gone.
    if (!ok || count > capacity || count > kMaxMessage) {
        impl->Drop(client);
        return ZBASE_DISCONNECTED;
    }
    std::memcpy(buffer, instance.buffer, count);
    len = count;
    return ZBASE_OK;
}

tagZBASESTAT ZIpcServer::Send(const void* buffer, std::uint32_t len)
{
    const std::shared_ptr<Client> client = impl->GetClient();
    if (!client || len > kMaxMessage)
        return ZBASE_FAILED;
    DWORD count = 0;
    if (client->write.StartWrite(client->instance->pipe, buffer, len)) {
        const DWORD result = client->write.Wait({Platform::ToHandle(impl->stopEvent.Get()), client->dropped},
                                                static_cast<DWORD>(kClientSilenceMs));
        if (result == WAIT_OBJECT_0 || impl->stopped.load()) {
            client->write.Cancel();
            return ZBASE_STOPPED;
        }
        if (result == WAIT_OBJECT_0 + 2 && client->write.Finish(count) && count == len)
            return ZBASE_OK;
        client->write.Cancel();
    }
    impl->Drop(client);
    return ZBASE_DISCONNECTED;
}

void ZIpcServer::CloseCurrentClient()
{
    std::lock_guard<std::mutex> guard(impl->clientLock);
    if (impl->client) {
        // Wakes a Receive or Send in progress; the peer sees the end once the
        // last holder closes the instance.
        ::SetEvent(impl->client->dropped);
        impl->client.reset();
    }
}

void ZIpcServer::StopAcceptClients()
{
    impl->stopped.store(true);
    if (impl->stopEvent.IsValid())
        ::SetEvent(Platform::ToHandle(impl->stopEvent.Get()));
}

std::wstring ZIpcServer::EndpointFolder(const std::wstring& name)
{
    // The pipe file system has no folders: this is the first server's pipe,
    // and the next servers' add ".1", ".2"... A name holding a separator
    // could reach another endpoint's pipes.
    if (name.empty() || name == L"." || name == L".." || name.size() > 200 ||
        name.find_first_of(std::wstring(L"/\\\0", 3)) != std::wstring::npos)
        return std::wstring();
    return L"\\\\.\\pipe\\" + name;
}

}  // namespace Quillet
