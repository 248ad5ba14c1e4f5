// Random bytes from the system, and the random letters that keep unique names
// apart.
#pragma once

#include <cstddef>
#include <string>

namespace Quillet::Platform {

/// Fills bytes with size random bytes from the system, without waiting for
/// its entropy pool; false when it cannot (early in boot).
bool FillRandom(void* bytes, std::size_t size);

/// Six random lower-case letters. They keep names apart where the process id
/// alone cannot: a recycled id, or two pid namespaces sharing one folder.
/// When the system has no random bytes yet, the clock stands in, since the
/// names they go into are unique by process id and a counter already.
std::wstring RandomLetters();

}  // namespace Quillet::Platform
