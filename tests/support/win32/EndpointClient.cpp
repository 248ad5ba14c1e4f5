// EndpointClient on Windows: the server's message-mode named pipe, opened
// overlapped so that a read can give up.
#include <windows.h>

#include "support/EndpointClient.h"

namespace QuilletTest {

struct EndpointClient::Impl {
    HANDLE pipe = INVALID_HANDLE_VALUE;
};

EndpointClient::EndpointClient(const std::wstring& path) : impl(std::make_unique<Impl>())
{
    // A server makes its next instance only once it has taken the last
    // connection: a busy pipe is waited for.
    for (int attempt = 0; attempt < 50 && impl->pipe == INVALID_HANDLE_VALUE; ++attempt) {
        impl->pipe = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
        if (impl->pipe == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY)
            ::WaitNamedPipeW(path.c_str(), 200);
        else if (impl->pipe == INVALID_HANDLE_VALUE)
            return;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (impl->pipe != INVALID_HANDLE_VALUE)
        ::SetNamedPipeHandleState(impl->pipe, &mode, nullptr, nullptr);
}

EndpointClient::~EndpointClient()
{
    Close();
}

bool EndpointClient::IsConnected() const
{
    return impl->pipe != INVALID_HANDLE_VALUE;
}

/// Runs one overlapped transfer to its end, or gives up after timeoutMs.
static bool Transfer(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD timeoutMs, DWORD& count)
{
    OVERLAPPED operation{};
    operation.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const BOOL started = write ? ::WriteFile(pipe, buffer, size, nullptr, &operation)
                               : ::ReadFile(pipe, buffer, size, nullptr, &operation);
    bool done = false;
    if (started || ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(operation.hEvent, timeoutMs) != WAIT_OBJECT_0)
            ::CancelIoEx(pipe, &operation);
        done = ::GetOverlappedResult(pipe, &operation, &count, TRUE) != FALSE;
    }
    ::CloseHandle(operation.hEvent);
    return done;
}

bool EndpointClient::Send(const std::string& bytes)
{
    DWORD count = 0;
    return Transfer(impl->pipe, true, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()), 10000,
                    count) &&
           count == bytes.size();
}

std::string EndpointClient::Receive()
{
    char buffer[2048];
    DWORD count = 0;
    if (Transfer(impl->pipe, false, buffer, sizeof buffer, 10000, count))
        return std::string(buffer, count);
    const DWORD error = ::GetLastError();
    return error == ERROR_OPERATION_ABORTED ? "<none>" : "<eof>";
}

void EndpointClient::Close()
{
    if (impl->pipe != INVALID_HANDLE_VALUE)
        ::CloseHandle(impl->pipe);
    impl->pipe = INVALID_HANDLE_VALUE;
}

}  // namespace QuilletTest
