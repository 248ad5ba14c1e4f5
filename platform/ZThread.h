// ZSynchObject, ZThread and ZSynchManager: threads whose end can be waited for.
#pragma once

#include "platform/ZTypes.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Quillet {

struct SynchData;

/// An object that becomes signalled and can be waited for by a ZSynchManager.
class ZSynchObject {
public:
    ZSynchObject();
    virtual ~ZSynchObject();
    ZSynchObject(const ZSynchObject&) = delete;
    ZSynchObject& operator=(const ZSynchObject&) = delete;

    virtual SynchData* GetSynchData();

protected:
    void Signal();
    void Reset();

private:
    std::unique_ptr<SynchData> data;
};

/// A thread with a body (Run) and an owner that joins it. The object is
/// signalled once Run has returned. A subclass must call Join in its own
/// destructor, before the members that Run uses go away.
class ZThread : public ZSynchObject {
public:
    ZThread();
    ~ZThread() override;

    /// Starts Run on a new thread; priority 5 is the normal priority. False
    /// when the thread could not be started or is already running.
    bool ThreadStart(int priority = 5);
    /// True from ThreadStart until Run has returned.
    bool IsThreadRunning() const;
    /// Returns once Run has returned; at once when no thread was started.
    void Join();

protected:
    /// The thread's body; its status is kept for GetExitStatus.
    virtual tagZBASESTAT Run() = 0;

public:
    tagZBASESTAT GetExitStatus() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

/// Waits for any of a set of ZSynchObjects to become signalled.
class ZSynchManager {
public:
    void AddSynchObject(ZSynchObject* object);
    /// ZBASE_OK when an object was signalled within milliseconds (any one of
    /// them, or all when waitAll), ZBASE_TIMEOUT otherwise. Uses no CPU while
    /// waiting.
    tagZBASESTAT WaitForTrigger(bool waitAll, std::uint32_t milliseconds);

private:
    std::vector<ZSynchObject*> objects;
};

}  // namespace Quillet
