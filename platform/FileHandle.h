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
    bool IsValid() const { return handle.IsValid(); }
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

/// Opens a file or FIFO for sequential reading, close-on-exec and blocking.
/// A FIFO is opened without waiting for a writer. Returns kInvalidHandle on
/// failure and for a folder or a path holding NUL.
NativeHandle OpenForReading(const std::wstring& path);

/// Reads up to size bytes from a job's data source, blocking until some data,
/// the end or an error. Interrupted reads are retried. On a pipe or FIFO it
/// first waits for readability, so a FIFO whose writer has not connected yet
/// waits instead of reporting End; a source left non-blocking by its other
/// owner is waited for the same way. On a regular file it reads only the part
/// before the first byte on which another holder has a write lock (fcntl
/// record or open-file-description locks), and reports Locked when the next
/// byte itself is locked: a spooler keeps the part it has not written locked.
/// A size of 0 reads nothing and reports Data.
ReadStatus ReadSource(NativeHandle source, void* buffer, std::size_t size, std::size_t& count);

/// Opens the regular file at path for reading: not through a symbolic link,
/// and without waiting, so that a FIFO or device put under the name cannot
/// hold the reader. kInvalidHandle for anything but a regular file; length
/// gets the file's length.
NativeHandle OpenRegularFile(const std::wstring& path, std::uint64_t& length);

/// Reads the first maxBytes (or fewer) of the regular file at path, links
/// followed and a FIFO never waited for. False when path names no regular
/// file; true and no bytes for one that cannot be read.
bool ReadFileStart(const std::wstring& path, std::size_t maxBytes, std::string& bytes);

/// Reads up to size bytes at offset, leaving the file position alone; count
/// gets what was read (less at the end, 0 past it). False on an error.
bool ReadAt(NativeHandle file, std::uint64_t offset, void* buffer, std::size_t size, std::size_t& count);

/// The length of the regular file behind handle; false for anything else
/// (a pipe, a FIFO, a device) and on errors.
bool GetFileLength(NativeHandle handle, std::uint64_t& length);

/// Moves a seekable handle back to its start; false for pipes and errors.
bool Rewind(NativeHandle handle);

/// Duplicates handle number `handle` of process `processId` into this process
/// (close-on-exec, never one of the standard descriptors 0 to 2). Returns
/// kInvalidHandle when the process does not exist, may not be read (another
/// user's, unless we are privileged) or has no such handle. The duplicate
/// shares the file offset and status flags with the original.
NativeHandle DuplicateFromProcess(std::uint32_t processId, std::int32_t handle);

/// The process's standard input, or kInvalidHandle when it is closed.
NativeHandle StandardInput();

/// Kinds of object a path can name, as a job's data source sees them (symbolic
/// links followed). Device covers character and block devices and sockets; a
/// path holding NUL is Missing.
enum class PathKind { Missing, File, Fifo, Directory, Device };
PathKind GetPathKind(const std::wstring& path);

/// The folder in which the Windows-style pipe names "\\.\pipe\NAME" live,
/// ending in a separator: on Windows the pipe namespace "\\.\pipe\" itself;
/// on POSIX, where they are FIFOs, the fixed folder /tmp/.quillet-pipe/ (not
/// $TMPDIR): the print path that creates a FIFO runs as another user with
/// another environment, and both sides must agree on the place. Whoever
/// creates a FIFO there creates the folder first (mode 1777, like /tmp).
std::wstring PipeFolder();

/// The path of pipe NAME (the part of "\\.\pipe\NAME" after the prefix):
/// PipeFolder() + NAME. Empty when NAME cannot name an entry of that folder
/// (empty, ".", "..", or containing a separator or NUL), so a pipe name never
/// reaches outside the folder.
std::wstring PipePath(const std::wstring& name);

}  // namespace Quillet::Platform
