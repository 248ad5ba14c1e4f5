// Confinement on Windows: a stub. The system offers nothing here yet
// (GetConfinementSupport says so), and preparing rules fails, so no child is
// ever started unconfined by mistake. The port will confine children with
// an AppContainer or a restricted token inside a job object.
#include "platform/win32/Internal.h"

#include "platform/Confinement.h"

namespace Quillet::Platform {

struct Confinement::Prepared {
};

const ConfinementSupport& GetConfinementSupport()
{
    static const ConfinementSupport support{false, false, "files and network: not supported on Windows yet"};
    return support;
}

Confinement::Confinement(ConfinementRules rulesIn) : rules(std::move(rulesIn)), prepared(std::make_unique<Prepared>())
{
}

Confinement::~Confinement() = default;

bool Confinement::IsReady() const
{
    return false;
}

std::vector<std::wstring> SystemReadable(SystemFiles)
{
    return {};
}

void SetConfinementEnabled(bool)
{
}

}  // namespace Quillet::Platform
