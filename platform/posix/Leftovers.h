// What processes that are gone left in a folder that several processes
// share, and removing it.
#pragma once

#include <functional>
#include <string>

namespace Quillet::Platform {

/// Removes the entries of folder (regular files, and folders with all they
/// hold) that this user owns and whose name holds the id of a process that
/// no longer runs: processIdOf reads it from a name, or gives 0 for a name
/// that is none of these. What a host that was killed left behind.
void RemoveLeftovers(const std::string& folder, const std::function<long(const std::string& name)>& processIdOf);

}  // namespace Quillet::Platform
