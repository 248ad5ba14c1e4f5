// RunHelper on POSIX: a helper process through the platform's children.
#include "support/RunHelper.h"

#include "support/HelperProcess.h"

namespace QuilletTest {

int RunHelper(const std::wstring& name, const std::vector<std::wstring>& args)
{
    try {
        return HelperProcess(name, args).Finish();
    } catch (const std::runtime_error&) {
        return -1;
    }
}

}  // namespace QuilletTest
