// ZSynchObject, ZThread and ZSynchManager on POSIX: std::thread for the
// threads, one condition variable for the signalled states.
#include "platform/ZThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Quillet {

/// The signalled state of one ZSynchObject. Guarded by SynchState::mutex.
struct SynchData {
    bool signalled = false;
};

namespace {

/// One lock and one condition variable for every synch object of the
/// process. Signals are rare (a thread's end), so waking every waiter to
/// re-check its own objects costs nothing, and a waiter can wait for several
/// objects at once without registering with each of them.
struct SynchState {
    std::mutex mutex;
    std::condition_variable changed;
};

SynchState& State()
{
    // Never destroyed: a thread still ending during static destruction may
    // signal its object.
    static SynchState* state = new SynchState;
    return *state;
}

// The wait that never times out, as the callers spell it.
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

}  // namespace

ZSynchObject::ZSynchObject() : data(std::make_unique<SynchData>()) {}

ZSynchObject::~ZSynchObject() = default;

SynchData* ZSynchObject::GetSynchData()
{
    return data.get();
}

void ZSynchObject::Signal()
{
    SynchState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        data->signalled = true;
    }
    state.changed.notify_all();
}

void ZSynchObject::Reset()
{
    std::lock_guard<std::mutex> guard(State().mutex);
    data->signalled = false;
}

struct ZThread::Impl {
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<tagZBASESTAT> exitStatus{ZBASE_OK};
};

ZThread::ZThread() : impl(std::make_unique<Impl>()) {}

ZThread::~ZThread()
{
    // A last resort only: by now the subclass's members are gone, so a Run
    // still going would use freed memory. Subclasses join in their own
    // destructor.
    Join();
}

bool ZThread::ThreadStart(int /*priority*/)
{
    // The priority is not applied: an unprivileged process cannot raise it,
    // and the callers only ever ask for the normal one.
    if (impl->running.load())
        return false;
    if (impl->thread.joinable())
        impl->thread.join();  // the previous run has ended; reap it
    Reset();
    impl->exitStatus.store(ZBASE_OK);
    impl->running.store(true);
    try {
        impl->thread = std::thread([this] {
            tagZBASESTAT status;
            try {
                status = Run();
            } catch (...) {
                // An exception must not leave the thread (that would end the
                // process); it counts as a failed run.
                status = ZBASE_FAILED;
            }
            impl->exitStatus.store(status);
            // Not running any more before the signal, so that whoever the
            // signal wakes sees the thread as ended.
            impl->running.store(false);
            Signal();
        });
    } catch (...) {
        impl->running.store(false);
        return false;
    }
    return true;
}

bool ZThread::IsThreadRunning() const
{
    return impl->running.load();
}

void ZThread::Join()
{
    if (impl->thread.joinable() && impl->thread.get_id() != std::this_thread::get_id())
        impl->thread.join();
}

tagZBASESTAT ZThread::GetExitStatus() const
{
    return impl->exitStatus.load();
}

void ZSynchManager::AddSynchObject(ZSynchObject* object)
{
    if (object != nullptr)
        objects.push_back(object);
}

tagZBASESTAT ZSynchManager::WaitForTrigger(bool waitAll, std::uint32_t milliseconds)
{
    if (objects.empty())
        return ZBASE_FAILED;
    std::vector<SynchData*> states;
    for (ZSynchObject* object : objects)
        states.push_back(object->GetSynchData());

    auto triggered = [&] {
        std::size_t signalled = 0;
        for (SynchData* state : states)
            signalled += state->signalled ? 1 : 0;
        return waitAll ? signalled == states.size() : signalled > 0;
    };

    SynchState& state = State();
    std::unique_lock<std::mutex> lock(state.mutex);
    if (milliseconds == kInfinite) {
        state.changed.wait(lock, triggered);
        return ZBASE_OK;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return state.changed.wait_until(lock, deadline, triggered) ? ZBASE_OK : ZBASE_TIMEOUT;
}

}  // namespace Quillet
