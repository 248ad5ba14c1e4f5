// PipeIo: the transfers on our overlapped named pipes that Pipe.cpp and the
// event loop share.
#pragma once

#include "platform/win32/Internal.h"

#include "platform/Pipe.h"

#include <cstddef>

namespace Quillet::Platform::Win32 {

/// One read or write through an OVERLAPPED of its own, waited for; when
/// wait is false, a transfer that would have to wait is cancelled and keeps
/// what it had done by then. count gets the bytes moved. Works on handles
/// opened with or without FILE_FLAG_OVERLAPPED (a file is read where its
/// position stands). The system's error, or 0.
DWORD Transfer(HANDLE handle, bool write, void* buffer, DWORD size, bool wait, DWORD& count);

/// Reads what has arrived in pipe without waiting for more: Ok with count
/// bytes, WouldBlock when nothing has, End when the writer has closed its
/// end and every byte was read, Error (LastError) otherwise.
IoStatus ReadArrived(HANDLE pipe, void* buffer, std::size_t size, std::size_t& count);

/// True for the errors that mean the other end of a pipe has gone.
inline bool IsPipeGone(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_HANDLE_EOF;
}

}  // namespace Quillet::Platform::Win32
