// QueueManager: the default-queue switch for printing with the verb "print".
#include "capture/QueueManager.h"

#include "platform/ZPrintQueue.h"

namespace Quillet {

bool QueueManager::SelectQueue(const std::wstring& name)
{
    ZList<ZPrintQueue> list;
    if (!ZPrintQueue::GetPrintQueues(list, nullptr))
        return false;
    // Before the search: the old default is remembered even when no queue
    // has the name, and restoring it then changes nothing.
    if (savedDefault.empty())
        savedDefault = ZPrintQueue::GetDefaultPrintQueue();
    for (ZPrintQueue* queue = list.GetHead(); queue != nullptr; queue = list.GetNext()) {
        if (queue->GetName() == name) {
            const std::wstring id = queue->GetID();
            // The default as read honours PRINTER and LPDEST, which need not
            // be what the user saved: the saved settings are kept as they are.
            if (!keptExactly)
                keptExactly = ZPrintQueue::SaveUserDefault(savedRecord);
            ZPrintQueue::SetDefaultPrintQueue(id);
            return ZPrintQueue::GetDefaultPrintQueue() == id;
        }
    }
    return false;
}

void QueueManager::RestoreDefault()
{
    if (keptExactly) {
        if (!savedRecord.empty())
            ZPrintQueue::RestoreSavedDefault(savedRecord);
        savedRecord.clear();
    } else if (!savedDefault.empty()) {
        ZPrintQueue::SetDefaultPrintQueue(savedDefault);
    }
}

}  // namespace Quillet
