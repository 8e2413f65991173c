// The lazy check-pointer: takes a check point when the store requests one (each time
// the configured number of further segments has been filled), looking for a request at
// least every 15 s; whatever ends it lets a pending request go.
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
private:
    std::atomic<bool> m_requested{false};
};

} // namespace vorn
