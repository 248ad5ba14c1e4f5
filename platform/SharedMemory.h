// SharedMemory: a block of memory that every process on the machine reaches by
// its name.
#pragma once

#include "platform/FileHandle.h"
#include "platform/SharedScope.h"

#include <cstddef>
#include <string>

namespace Quillet::Platform {

/// One process's read-write view of a named shared block. Move-only; the
/// destructor unmaps the view. The block itself lives on while any process
/// has it mapped or until it is removed by name.
class SharedMemory {
public:
    /// How Open found the block.
    enum class OpenResult {
        Created,  ///< this call made the block; all its bytes are 0
        Opened,   ///< the block existed with the size asked for
        Refused,  ///< it exists, but others than scope allows could change it
        Failed,   ///< nothing is mapped (OS error code kept)
    };

    SharedMemory() = default;
    ~SharedMemory() { Close(); }
    SharedMemory(SharedMemory&& other) noexcept;
    SharedMemory& operator=(SharedMemory&& other) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    /// Maps the block called name in scope, creating it with size bytes
    /// (reachable by the ones scope names, see SharedScope) when it does not
    /// exist; a block that others could change (truncate it under the view,
    /// write it) is never mapped (Refused). A block found with no
    /// bytes at all is one whose creator died before giving it its size: it is
    /// completed and counts as Created. A block of any other size than size
    /// is refused (Failed): it belongs to something else, and mapping it could
    /// reach past its end. Callers that may open one name concurrently must
    /// serialise Open, so that two of them do not both see Created. Whatever
    /// this object mapped before is unmapped first.
    OpenResult Open(const std::wstring& name, std::size_t size, SharedScope scope = SharedScope::PrintPath);
    /// Unmaps the view; the block stays.
    void Close() noexcept;

    bool IsMapped() const { return address != nullptr; }
    void* GetAddress() const { return address; }
    std::size_t GetSize() const { return size; }

    /// Removes the name: the next Open creates a new block, views already
    /// mapped keep the old one. False when there was no such name.
    static bool Remove(const std::wstring& name, SharedScope scope = SharedScope::PrintPath);

private:
    void* address = nullptr;
    std::size_t size = 0;
    /// The block's own handle, held with the view where a block keeps its
    /// name only while a handle on it is open (Windows); unused elsewhere.
    UniqueHandle block;
};

/// One holder's marks on bytes of a named shared block, which every process
/// sees: "this part is in use by a live object". A holder's marks go with it,
/// and with its process however that ends, so a mark never outlives its user.
/// The block's bytes are not touched. Move-only; one thread at a time.
class SharedMark {
public:
    /// Opens a handle of this holder's own on the existing block called name
    /// in scope (dropping the marks of a handle held before). False when it
    /// cannot (OS error code kept) or the block is not trusted (see Open).
    bool Open(const std::wstring& name, SharedScope scope = SharedScope::PrintPath);
    bool IsOpen() const { return handle.IsValid(); }
    /// Drops every mark of this holder.
    void Close() { handle.Close(); }
    /// Marks the byte at offset as held by this holder. False when the mark
    /// cannot be set.
    bool Hold(std::size_t offset);
    /// Whether another holder, of this process or any other, marks the byte
    /// at offset. False when that cannot be told.
    bool IsHeldByOthers(std::size_t offset) const;

private:
    UniqueHandle handle;
};

}  // namespace Quillet::Platform
