// KeyAccessor: the thread that serves the job-key endpoint during one capture.
#pragma once

#include <quillet/NonCopyable.h>

#include "platform/ZCriticalSection.h"
#include "platform/ZThread.h"

#include <memory>
#include <string>

namespace Quillet {

class ZIpcServer;

/// The name of the job-key endpoint that the print path reports jobs to.
extern const wchar_t* const kJobKeyEndpoint;

/// Serves the job-key endpoint for one capture: takes clients one after
/// another until one proves the job by expectedTag, answers it 0x01 and
/// stores the non-empty job-key string it sends next in keys. A refused
/// client gets 0x00 and is disconnected; one that hangs up, stays silent or
/// sends empty keys is dropped. No client ends the capture: only a stop does.
///
/// Owned by the engine for one capture. The engine's thread constructs it,
/// calls Start, waits for the thread to end (it is a ZSynchObject), then reads
/// keys and replies through server, and destroys it; Run works on the
/// object's own thread. The destructor stops the server and joins the thread.
class KeyAccessor : public ZThread, private NonCopyable {
public:
    explicit KeyAccessor(const std::wstring& expectedTag);
    ~KeyAccessor() override;

    /// Opens the endpoint and starts the thread; false when either fails.
    bool Start();

    /// Whether identity proves this capture's job: it contains expectedTag,
    /// or it is the endpoint's name itself.
    bool Accepts(const std::wstring& identity) const;

    std::wstring expectedTag;
    /// The job-key string, once the thread has ended with status 0.
    std::wstring keys;
    ZCriticalSection serverLock;
    bool succeeded = false;
    /// The endpoint; the accepted client stays connected after Run, so that
    /// the engine can send the final reply.
    std::unique_ptr<ZIpcServer> server;

protected:
    tagZBASESTAT Run() override;
};

}  // namespace Quillet
