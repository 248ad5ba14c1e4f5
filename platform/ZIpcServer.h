// ZIpcServer: the server end of a named message endpoint that print-path
// processes connect to.
#pragma once

#include "platform/ZString.h"
#include "platform/ZTypes.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Quillet {

/// Serves one named endpoint, one client at a time (others wait their turn). Messages keep their
/// boundaries: each Send reaches the peer as one message, each Receive takes
/// one message.
///
/// Several servers (in this or other processes) may serve the same name at
/// once; a client offers itself to each of them in turn (see IpcClient.h).
/// Only peers running as root, as this process's user or as the print
/// system's user are served; others are disconnected at once.
///
/// Threads: one thread drives AcceptClient, Receive and Send. Another thread
/// may call CloseCurrentClient and StopAcceptClients at any time; a call
/// blocked in AcceptClient, Receive or Send then returns with a non-zero
/// status.
class ZIpcServer {
public:
    /// The wait without a bound.
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
    /// The most a message may hold; a longer one is refused (see Receive).
    static constexpr std::uint32_t kMaxMessage = 1024;
    /// How long a connected client may stay silent before it counts as gone.
    static constexpr int kClientSilenceMs = 2000;

    /// Opens the endpoint for name. Never throws except on allocation; when
    /// the endpoint cannot be opened, every wait fails (IsListening false).
    explicit ZIpcServer(const ZString& name);
    /// Disconnects the client and closes the endpoint.
    ~ZIpcServer();
    ZIpcServer(const ZIpcServer&) = delete;
    ZIpcServer& operator=(const ZIpcServer&) = delete;

    /// True when the endpoint is open and accepting.
    bool IsListening() const;
    /// This server's own socket in the endpoint's folder; empty when not open.
    std::wstring GetSocketPath() const;

    /// Waits at most timeoutMs (kInfinite: no bound) for a client that may be
    /// served and has sent its first message (or hung up); a client that may
    /// not be served is disconnected at once and the wait goes on. Connected
    /// clients that have not spoken yet wait side by side, each for at most
    /// kClientSilenceMs, so silent ones never delay one that speaks. A client
    /// still held is disconnected first. 0 once a client is
    /// connected; ZBASE_STOPPED after StopAcceptClients; ZBASE_TIMEOUT;
    /// ZBASE_FAILED when the endpoint is not open.
    tagZBASESTAT AcceptClient(std::uint32_t timeoutMs);

    /// Receives one message into buffer. len: its capacity in bytes on entry,
    /// the message's length on return (0 for an empty message). Returns 0;
    /// ZBASE_DISCONNECTED (11), with the client dropped, when the client has
    /// gone, stays silent for kClientSilenceMs, or sends a message longer
    /// than len or than kMaxMessage (a peer that breaks the protocol is
    /// treated as gone, so that it cannot end the server's work); ZBASE_STOPPED
    /// after StopAcceptClients; ZBASE_FAILED when no client is connected.
    tagZBASESTAT Receive(void* buffer, std::uint32_t& len);

    /// Sends one message of len bytes to the client. 0 when sent;
    /// ZBASE_DISCONNECTED when the client has gone; ZBASE_FAILED when no
    /// client is connected or len exceeds kMaxMessage.
    tagZBASESTAT Send(const void* buffer, std::uint32_t len);

    /// Disconnects the current client, if any. Any thread.
    void CloseCurrentClient();
    /// Ends accepting for good: pending and later waits return ZBASE_STOPPED.
    /// Any thread.
    void StopAcceptClients();

    /// The folder that holds the endpoint's sockets, one per server, ending
    /// in "/": /tmp/.quillet-ipc/<name>/ (fixed, not $TMPDIR, since the print
    /// path runs as another user with another environment). Where endpoints
    /// have no folders (Windows' pipes), the first server's endpoint
    /// (\\.\pipe\<name>), the next ones adding ".1", ".2"... Empty when
    /// name cannot name a folder entry.
    static std::wstring EndpointFolder(const std::wstring& name);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Quillet
