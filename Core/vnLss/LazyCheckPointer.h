// The lazy check-pointer: takes a check point when the store requests one (each time
// the configured number of further segments has been filled, or when appenders wait at
// the bound of the log), looking for a request at least every 15 s. A request made
// while a check point runs is kept and served by the next one; whatever ends the thread
// lets a pending request go and wakes the appenders that wait for it.
#pragma once
#include "vnLss/StoreThread.h"
#include <atomic>

namespace vorn {

class LazyCheckPointer : public StoreThread {
public:
    using StoreThread::StoreThread;
    void ThreadMain() override;
    void Request()
    {
        m_requested = true;
        Signal();
    }
    // Stop has been asked for (any thread).
    bool IsStopping() const { return m_stop.load(); }
private:
    std::atomic<bool> m_requested{false};
};

} // namespace vorn
