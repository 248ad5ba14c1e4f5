// EndpointClient: a client of one job-key endpoint server that speaks raw
// messages, so that it can break the protocol. One implementation per
// system (support/posix/, support/win32/).
#pragma once

#include <memory>
#include <string>

namespace QuilletTest {

class EndpointClient {
public:
    /// Connects to the server whose endpoint is path (ZIpcServer::GetSocketPath).
    explicit EndpointClient(const std::wstring& path);
    ~EndpointClient();
    EndpointClient(const EndpointClient&) = delete;
    EndpointClient& operator=(const EndpointClient&) = delete;

    bool IsConnected() const;
    /// Sends bytes as one message.
    bool Send(const std::string& bytes);
    /// The next message; "<eof>" when the server disconnected, "<none>" after 10 s.
    std::string Receive();
    /// Hangs up.
    void Close();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace QuilletTest
