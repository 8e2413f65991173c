#include "vnLss/StoreThread.h"

namespace vorn {

StoreThread::StoreThread(LssInternal* store) : m_store(store), m_event(false, false) {}

StoreThread::~StoreThread() { CloseThreadHandle(m_thread); }

void StoreThread::Start()
{
    m_running = true;
    m_stop = false;
    m_event.Reset();
    try {
        m_thread.StartThread(this, THREAD_PRIORITY_ABOVE_NORMAL);
    } catch (...) {
        m_running = false;
        throw;
    }
}

void StoreThread::Stop()
{
    if (!m_running) return;
    m_running = false;
    m_stop = true;
    m_event.Set();
    m_thread.JoinThread();
}

} // namespace vorn
