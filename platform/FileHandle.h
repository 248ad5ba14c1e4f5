// UniqueHandle, the owner of one OS handle, and the reads a job's data source needs.
#pragma once

#include "platform/ZTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quillet::Platform {

/// Owns one OS handle and closes it exactly once. Move-only.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(NativeHandle handle) : handle(handle) {}
    ~UniqueHandle() { Close(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle(other.Take()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept;
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    NativeHandle Get() const { return handle; }
    bool IsValid() const { return handle != kInvalidHandle; }
    /// Gives up ownership and returns the handle.
    NativeHandle Take();
    /// Closes the handle (if any) and takes ownership of replacement.
    void Reset(NativeHandle replacement = kInvalidHandle);
    void Close() { Reset(); }

private:
    NativeHandle handle = kInvalidHandle;
};

/// Where a job's data source stands after one read.
enum class ReadStatus {
    Data,    ///< count bytes were read
    End,     ///< the data is complete (end of file, or the writer of a pipe closed it)
    Locked,  ///< another process holds a write lock on the part still to be read
    Error,   ///< the source cannot be read
};

/// Opens a file or FIFO for sequential reading (a FIFO is opened without
/// waiting for a writer). Returns kInvalidHandle on failure.
NativeHandle OpenForReading(const std::wstring& path);

/// Reads up to size bytes from a job's data source, blocking until some data,
/// the end or an error.
ReadStatus ReadSource(NativeHandle source, void* buffer, std::size_t size, std::size_t& count);

/// Moves a seekable handle back to its start; false for pipes and errors.
bool Rewind(NativeHandle handle);

/// Duplicates handle number `handle` of process `processId` into this process
/// (close-on-exec). Returns kInvalidHandle when the process does not exist or
/// may not be read.
NativeHandle DuplicateFromProcess(std::uint32_t processId, std::int32_t handle);

/// The process's standard input, or kInvalidHandle when it is closed.
NativeHandle StandardInput();

/// Kinds of object a path can name, as a job's data source sees them.
enum class PathKind { Missing, File, Fifo, Directory, Device };
PathKind GetPathKind(const std::wstring& path);

/// The folder in which the Windows-style pipe names "\\.\pipe\NAME" live as
/// FIFOs, ending in "/".
std::wstring PipeFolder();

}  // namespace Quillet::Platform
