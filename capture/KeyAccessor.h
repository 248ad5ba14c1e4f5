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
/// Owned by the capture (CaptureDocument) for its length. The capture's
/// thread constructs it, calls Start, waits for the thread to end (it is a
/// ZSynchObject), then reads the keys and confirms them, and destroys it; Run
/// works on the object's own thread. The destructor stops the server and
/// joins the thread.
class KeyAccessor : public ZThread, private NonCopyable {
public:
    explicit KeyAccessor(const std::wstring& expectedTag);
    ~KeyAccessor() override;

    /// Opens the endpoint and starts the thread; false when either fails.
    bool Start();

    /// Whether identity proves this capture's job: it contains expectedTag,
    /// or it is the endpoint's name itself.
    bool Accepts(const std::wstring& identity) const;
    const std::wstring& GetExpectedTag() const { return expectedTag; }

    /// Once the thread has ended: whether a client's keys came, and the
    /// job-key string they are.
    bool Succeeded() const { return succeeded; }
    const std::wstring& GetKeys() const { return keys; }
    /// Sends the accepted client the final reply (0x01), which the print
    /// path waits for once it has sent its keys.
    void Confirm();
    /// The endpoint (null before Start); the accepted client stays connected
    /// after Run until Confirm.
    ZIpcServer* GetServer() const { return server.get(); }

protected:
    tagZBASESTAT Run() override;

private:
    std::wstring expectedTag;
    std::wstring keys;
    ZCriticalSection serverLock;
    bool succeeded = false;
    std::unique_ptr<ZIpcServer> server;
};

}  // namespace Quillet
