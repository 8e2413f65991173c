// The common shape of the store's threads: a running flag, the thread record, a stop
// flag and an auto-reset event. Every exception that escapes a body is recorded as the
// store's failure by the body itself.
#pragma once
#include "vnUtils/Threads.h"
#include <atomic>

namespace vorn {

class LssInternal;

class StoreThread : public IWorkerThreadFn {
public:
    explicit StoreThread(LssInternal* store);
    ~StoreThread() override;
    void Start();
    // Sets the stop flag, signals and (from another thread) waits for the thread.
    void Stop();
    void Signal() { m_event.Set(); }
    bool IsRunning() const { return m_running.load(); }

protected:
    LssInternal* m_store;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    Event m_event;
    WorkerThreadX m_thread;
};

} // namespace vorn
