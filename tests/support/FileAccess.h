// What the folder and job-source tests plant as another user or program
// would, said once for every system: a folder every user may write in, bytes
// of a file locked for writing by an opening of their own, and a pipe name
// served by a writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace QuilletTest {

/// Lets every user of the machine write in folder; false when the system
/// refuses.
bool LetEveryoneWrite(const std::wstring& folder);

/// Locks bytes [offset, offset + length) of the file at path for writing
/// through an opening of its own, as a spooler that still writes them does;
/// the lock holds until the result is destroyed. Null when it cannot.
std::shared_ptr<void> LockForWriting(const std::wstring& path, std::uint64_t offset, std::uint64_t length);

/// Makes the pipe named name (at Platform::PipePath(name)) and returns the
/// thread that writes text into it delayMs after its reader came, then closes
/// it and lets the name go. False in *made when the pipe cannot be made (the
/// thread then does nothing).
std::thread ServePipe(const std::wstring& name, const std::string& text, int delayMs, bool* made);

}  // namespace QuilletTest
