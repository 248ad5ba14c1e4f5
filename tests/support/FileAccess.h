// What the folder and job-source tests plant as another user or program
// would, said once for every system: a folder every user may write in, and
// bytes of a file locked for writing by an opening of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace QuilletTest {

/// Lets every user of the machine write in folder; false when the system
/// refuses.
bool LetEveryoneWrite(const std::wstring& folder);

/// Locks bytes [offset, offset + length) of the file at path for writing
/// through an opening of its own, as a spooler that still writes them does;
/// the lock holds until the result is destroyed. Null when it cannot.
std::shared_ptr<void> LockForWriting(const std::wstring& path, std::uint64_t offset, std::uint64_t length);

}  // namespace QuilletTest
