// QueueManager: makes a print queue the default for a while and puts the old one back.
#pragma once

#include <string>

namespace Quillet {

/// Switches the default print queue to a queue named by its display name and
/// remembers the default it replaced, so that RestoreDefault can put it back.
/// Owned by one Document: SelectQueue runs on the document's printing thread,
/// RestoreDefault on the thread that destroys the Document after joining it;
/// the two never overlap, so nothing is locked. Never throws except on
/// allocation.
class QueueManager {
public:
    QueueManager() = default;
    virtual ~QueueManager() = default;
    QueueManager(const QueueManager&) = delete;
    QueueManager& operator=(const QueueManager&) = delete;

    /// Makes the queue whose display name equals name exactly (case-sensitive)
    /// the default. The first call that can list the queues remembers the
    /// current default, even when no queue has the name. True when the queue
    /// now reads back as the default.
    bool SelectQueue(const std::wstring& name);
    /// Sets the remembered default back, if one was remembered: the user's
    /// saved settings exactly as they were (see ZPrintQueue::SaveUserDefault),
    /// or, when they could not be kept, the remembered queue. Does not read it
    /// back, and keeps savedDefault.
    void RestoreDefault();

    /// The default as it was before the first switch; empty when none.
    std::wstring savedDefault;
    /// The crash-proof record of the user's settings before the switch; empty
    /// when none is held.
    std::wstring savedRecord;
    bool keptExactly = false;
};

}  // namespace Quillet
