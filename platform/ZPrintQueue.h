// ZPrintQueue: the system's print queues and its default queue.
#pragma once

#include "platform/ZList.h"

#include <cstdint>
#include <string>

namespace Quillet {

/// One print job as the print server reports it (ZPrintQueue::FindJob).
struct ZPrintJob {
    enum class State {
        Missing,  ///< the server knows no such job
        Waiting,  ///< pending or being processed: it may still go through
        Stopped,  ///< held, or stopped by the server (a filter failed): it goes no further
        Ended,    ///< completed, cancelled or aborted
    };
    State state = State::Missing;
    std::int32_t id = 0;
    /// The queue name the job was printed to.
    std::wstring queue;
    /// The server's last word on the job (a filter's error, such as
    /// "...: invalid password"); empty when it gave none.
    std::string message;
    /// The job's queue is paused (stopped) or takes no jobs.
    bool queuePaused = false;
};

/// One print queue of the print system, as GetPrintQueues lists it.
/// On POSIX the queues are the current CUPS server's destinations (CUPS_SERVER
/// and the user's client settings decide which server), and the default is
/// the user's own default destination ($HOME/.cups/lpoptions), falling back to
/// the server's. All calls may block on the print server; none throws except on
/// allocation. Any thread.
class ZPrintQueue {
public:
    ZPrintQueue(std::wstring id, std::wstring name) : id(std::move(id)), name(std::move(name)) {}
    virtual ~ZPrintQueue() = default;

    /// The display name: the queue's description ("printer-info"), or its
    /// queue name when that is empty.
    const std::wstring& GetName() const { return name; }
    /// The queue name, the form the default is read and set in.
    const std::wstring& GetID() const { return id; }

    /// Fills list with one item per queue (replacing what it held). filter:
    /// null for all queues, else only queues whose name or display name
    /// equals it. False when the print server cannot be asked.
    static bool GetPrintQueues(ZList<ZPrintQueue>& list, const wchar_t* filter);
    /// The default queue's name; empty when there is none or the server
    /// cannot be asked.
    static std::wstring GetDefaultPrintQueue();
    /// Makes queue id the user's default. False when there is no such queue
    /// or the setting cannot be written.
    static bool SetDefaultPrintQueue(const std::wstring& id);

    /// Keeps a copy of the user's saved default-queue settings, exactly as
    /// they are, in a record of this process that survives its crash, before
    /// SetDefaultPrintQueue changes them. When another capture's record is
    /// alive, its copy (the settings from before any capture) is taken
    /// instead. record: the record's name, for RestoreSavedDefault. False when
    /// no record can be written (nothing is kept).
    static bool SaveUserDefault(std::wstring& record);
    /// Removes record and, unless another live capture still holds one, puts
    /// the saved settings back byte for byte (no settings file before: none
    /// after).
    static void RestoreSavedDefault(const std::wstring& record);
    /// Restores the settings kept by captures whose process died (a host
    /// killed mid-capture) and removes their records. Cheap when there are none.
    static void RestoreAbandonedDefaults();

    /// Fills job with the newest of this user's jobs whose title contains
    /// titlePart, and with its queue's state. False when the print server
    /// cannot be reached (job then says Missing).
    static bool FindJob(const std::wstring& titlePart, ZPrintJob& job);
    /// Cancels job id. False when the server refused or cannot be reached.
    static bool CancelJob(std::int32_t id);

private:
    std::wstring id;
    std::wstring name;
};

}  // namespace Quillet
