// SharedScope: who shares a named object of the machine, and the refusal of
// one that someone else could change.
#pragma once

#include <stdexcept>

namespace Quillet::Platform {

/// Who may reach a named shared object besides this user's own processes.
enum class SharedScope {
    /// The print system's processes too (on POSIX its user and group "lp",
    /// and the administrator). Only such an object is used; one that anybody
    /// else could change is refused.
    PrintPath,
    /// Nobody else: the object is this user's alone, under a name of its own.
    User,
};

/// An existing named object that others than the ones its scope allows could
/// change (truncate, overwrite, lock), or that this process may not open.
class SharedObjectRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace Quillet::Platform
