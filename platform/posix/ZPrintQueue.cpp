// ZPrintQueue on POSIX: the destinations of the current CUPS server.
#include "platform/ZPrintQueue.h"

#include "platform/TextConversion.h"

#include <cups/cups.h>
#include <strings.h>

namespace Quillet {

namespace {

/// The destinations of the current server, freed with the object.
struct Destinations {
    Destinations() { count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests); }
    ~Destinations() { cupsFreeDests(count, dests); }
    Destinations(const Destinations&) = delete;
    Destinations& operator=(const Destinations&) = delete;

    /// An empty list is either no queues or no server; the last error tells.
    bool Reachable() const { return count > 0 || cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE; }

    cups_dest_t* dests = nullptr;
    int count = 0;
};

std::wstring DisplayName(const cups_dest_t& dest)
{
    const char* info = cupsGetOption("printer-info", dest.num_options, dest.options);
    return FromUtf8(info != nullptr && *info != '\0' ? info : dest.name);
}

}  // namespace

bool ZPrintQueue::GetPrintQueues(ZList<ZPrintQueue>& list, const wchar_t* filter)
{
    list.RemoveAll();
    Destinations all;
    if (!all.Reachable())
        return false;
    for (int i = 0; i < all.count; ++i) {
        const cups_dest_t& dest = all.dests[i];
        if (dest.instance != nullptr)
            continue;  // an instance is a set of options, not a queue of its own
        auto queue = std::make_unique<ZPrintQueue>(FromUtf8(dest.name), DisplayName(dest));
        if (filter != nullptr && queue->GetID() != filter && queue->GetName() != filter)
            continue;
        list.Add(std::move(queue));
    }
    return true;
}

std::wstring ZPrintQueue::GetDefaultPrintQueue()
{
    Destinations all;
    const cups_dest_t* dest = cupsGetDest(nullptr, nullptr, all.count, all.dests);
    return dest != nullptr ? FromUtf8(dest->name) : std::wstring();
}

bool ZPrintQueue::SetDefaultPrintQueue(const std::wstring& id)
{
    Destinations all;
    const std::string name = ToUtf8(id);
    bool found = false;
    for (int i = 0; i < all.count; ++i) {
        cups_dest_t& dest = all.dests[i];
        // Queue names are case-insensitive in CUPS.
        dest.is_default = dest.instance == nullptr && strcasecmp(dest.name, name.c_str()) == 0;
        found = found || dest.is_default;
    }
    // Written to the user's own settings ($HOME/.cups/lpoptions): a user may
    // always change their default, an administrator's server default is not
    // touched.
    return found && cupsSetDests2(CUPS_HTTP_DEFAULT, all.count, all.dests) == 0;
}

}  // namespace Quillet
