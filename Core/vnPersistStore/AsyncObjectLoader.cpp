#include "vnPersistStore/AsyncObjectLoader.h"
#include "vnPersistStore/AsyncPrefNode.h"

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
            DropAll(m_queue, 0);
            m_queue.clear();
            return;
        }
        if (!m_stopQueued) {
            m_stopQueued = true;
            if (m_queue.empty()) m_work.Set();
            m_queue.push_back(StopEntry());
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
            if (m_queue.empty()) m_work.Set();
            m_queue.push_back(node);
            return;
        }
    }
    node->Release();
}

void AsyncObjectLoader::DropAll(std::vector<DGIndepNodeForAsyncPref*>& queue, size_t from)
{
    for (size_t i = from; i < queue.size(); ++i)
        if (queue[i] != StopEntry()) queue[i]->Release();
}

void AsyncObjectLoader::ThreadMain()
{
    SetThreadName("AsyncObjectLoader");
    std::vector<DGIndepNodeForAsyncPref*> taken;
    for (;;) {
        m_work.Wait();
        for (;;) {
            {
                CriticalSectionLock lock(m_lock);
                taken.swap(m_queue);
                m_work.Reset();
            }
            if (taken.empty()) break;
            for (size_t i = 0; i < taken.size(); ++i) {
                if (taken[i] == StopEntry()) {
                    DropAll(taken, i + 1);
                    CriticalSectionLock lock(m_lock);
                    DropAll(m_queue, 0);
                    m_queue.clear();
                    return;
                }
                taken[i]->LoadFromStore();
            }
            taken.clear();
        }
    }
}

} // namespace vorn
