// PageWatch on Windows: a stub whose Open fails with
// ERROR_CALL_NOT_IMPLEMENTED, so a watch is never open. The port will use
// ReadDirectoryChangesW with an overlapped read posting to the event loop's
// completion port, and answer Look's "closed" by opening the file without
// sharing writes (refused while its writer holds it open).
#include "platform/win32/Internal.h"

#include "platform/PageWatch.h"

namespace Quillet::Platform {

struct PageWatch::Closed {};

PageWatch::PageWatch() : closed(std::make_unique<Closed>()) {}

PageWatch::~PageWatch() = default;

std::error_code PageWatch::Open(const std::wstring&)
{
    Close();
    return std::error_code(ERROR_CALL_NOT_IMPLEMENTED, std::system_category());
}

bool PageWatch::IsOpen() const
{
    return false;
}

void PageWatch::Rearm()
{
}

PageSigns PageWatch::Look(const std::wstring&, const std::wstring&, bool writerEnded) const
{
    PageSigns signs;
    signs.closed = writerEnded;
    return signs;
}

void PageWatch::Close()
{
    handle.Reset();
}

}  // namespace Quillet::Platform
