// ConfinedChild: rules prepared in the form Windows takes, which Spawn
// applies to each child it starts with them.
#pragma once

#include "platform/win32/Internal.h"

#include "platform/Confinement.h"
#include "platform/FileHandle.h"

#include <cstdint>

namespace Quillet::Platform {

struct Confinement::Prepared {
    /// False when this process's confinement is switched off: the child gets
    /// its private folder and environment only.
    bool enabled = true;
    /// A restricted copy of this process's token with every privilege but
    /// the one to pass folders removed; empty where the system refused to
    /// make one (GetConfinementSupport says so), and the child then runs
    /// with this process's token.
    UniqueHandle token;
    /// The job's bound on each process's committed memory; 0 for none.
    std::uint64_t processMemory = 0;
    bool ready = false;
};

namespace Win32 {

/// Whether a restricted token can be made here; detected once.
bool CanRestrictToken();

}  // namespace Win32

}  // namespace Quillet::Platform
