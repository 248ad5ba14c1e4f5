// CreateRIPService: the exported factory of the rendering service.
#include <quillet/IRIPBase.h>
#include <quillet/IRIPStatus.h>

#include "capture/JobInfo.h"
#include "engine/RIPEngine.h"
#include "engine/RIPEngineImpl.h"
#include "engine/SharedPtr.h"
#include "platform/Confinement.h"
#include "platform/TextConversion.h"

namespace Quillet {

IRIPBase* CreateRIPService(const std::wstring& params)
{
    try {
        // The holder deletes the job description if the engine cannot be
        // built; after construction the engine is its sole owner.
        SharedPtr<JobInfo> job(new JobInfo(params));
        return new RIPEngine(job);
    } catch (...) {
        return nullptr;
    }
}

IRIPStatus* GetRIPStatus(IRIPBase* service)
{
    // Inside the library the engine's class is known, so the cast is safe
    // here, unlike in a host. The record is the runner's, which lives as
    // long as the engine.
    auto* engine = dynamic_cast<RIPEngine*>(service);
    return engine != nullptr ? &engine->GetImpl().GetFailure() : nullptr;
}

RIPConfinement GetRIPConfinement(std::wstring* description)
{
    const Platform::ConfinementSupport& support = Platform::GetConfinementSupport();
    if (description != nullptr)
        *description = FromUtf8(support.description);
    return static_cast<RIPConfinement>((support.files ? RIP_CONFINEMENT_FILES : 0) |
                                       (support.network ? RIP_CONFINEMENT_NETWORK : 0));
}

}  // namespace Quillet
