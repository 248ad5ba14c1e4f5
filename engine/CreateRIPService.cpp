// CreateRIPService: the exported factory of the rendering service.
#include <quillet/IRIPBase.h>

#include "capture/JobInfo.h"
#include "engine/RIPEngine.h"
#include "engine/SharedPtr.h"

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

}  // namespace Quillet
