#include "vnPersistStore/AsyncObjectLoader.h"
#include "vnPersistStore/AsyncPrefNode.h"
#include <utility>

namespace vorn {

AsyncObjectLoader::~AsyncObjectLoader() { Stop(); }

void AsyncObjectLoader::Start()
{
    CriticalSectionLock lock(m_lock);
    if (m_started) return;
    m_thread.StartThread(this, THREAD_PRIORITY_NORMAL);
    m_started = true;
}

void AsyncObjectLoader::Stop()
{
    {
        CriticalSectionLock lock(m_lock);
        if (!m_started) {
            DropAll(m_queue);
            return;
        }
        // A flag, not an entry of the queue: stopping allocates nothing (a store that
        // cannot be opened or closed for want of memory still stops its loader). No
        // request is queued after it; the thread serves those before it and ends.
        if (!m_stopQueued) {
            m_stopQueued = true;
            m_work.Set();
        }
    }
    m_thread.JoinThread();
    CriticalSectionLock lock(m_lock);
    m_started = false;
}

void AsyncObjectLoader::Request(DGIndepNodeForAsyncPref* node)
{
    {
        CriticalSectionLock lock(m_lock);
        if (!m_stopQueued) {
            if (m_queue.IsEmpty()) m_work.Set();
            m_queue.PushBack(node);
            return;
        }
    }
    node->Release();
}

void AsyncObjectLoader::DropAll(Queue& queue)
{
    queue.ForEach([](DGIndepNodeForAsyncPref* node) {
        if (node != StopEntry()) node->Release();
    });
    queue.Clear();
}

void AsyncObjectLoader::ThreadMain()
{
    SetThreadName("AsyncObjectLoader");
    Queue taken;
    for (;;) {
        m_work.Wait();
        for (;;) {
            {
                CriticalSectionLock lock(m_lock);
                taken = std::move(m_queue);
                if (taken.IsEmpty() && m_stopQueued) return;
                m_work.Reset();
            }
            if (taken.IsEmpty()) break;
            // Requests behind the stop entry are dropped, not served.
            bool stopped = false;
            taken.ForEach([&](DGIndepNodeForAsyncPref* node) {
                if (node == StopEntry())
                    stopped = true;
                else if (stopped)
                    node->Release();
                else
                    node->LoadFromStore();
            });
            taken.Clear();
            if (stopped) {
                CriticalSectionLock lock(m_lock);
                DropAll(m_queue);
                return;
            }
        }
    }
}

} // namespace vorn
