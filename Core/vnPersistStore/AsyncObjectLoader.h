// vorn::AsyncObjectLoader: the store's "AsyncObjectLoader" thread, which loads objects
// in the background for AsyncBind. It only queues and dispatches: each request is a
// DGIndepNodeForAsyncPref whose own loading step reads, deserialises and publishes the
// object. Requests are served one at a time in arrival order; those that arrive while a
// batch is served are taken right after it without another wait.
#pragma once
#include "vnUtils/PagedList.h"
#include "vnUtils/Threads.h"

namespace vorn {

class DGIndepNodeForAsyncPref;

class AsyncObjectLoader : public IWorkerThreadFn {
public:
    AsyncObjectLoader() = default;
    // Stops the thread when it still runs.
    ~AsyncObjectLoader() override;
    AsyncObjectLoader(const AsyncObjectLoader&) = delete;
    AsyncObjectLoader& operator=(const AsyncObjectLoader&) = delete;

    // Starts the thread at normal priority.
    void Start();
    // Queues the stop entry behind the requests already queued and, unless called on
    // the loader thread, waits for the thread to end. Requests behind the stop entry,
    // or made after it, are not served: their loader reference is dropped.
    void Stop();
    // Queues a load; the loader owns one reference of the node from now on.
    void Request(DGIndepNodeForAsyncPref* node);

    bool IsLoaderThread() const { return m_thread.IsCurrentThread(); }

    void ThreadMain() override;

private:
    static DGIndepNodeForAsyncPref* StopEntry() { return reinterpret_cast<DGIndepNodeForAsyncPref*>(~uintptr_t(0)); }
    // Blocks of 1024 request pointers.
    using Queue = PagedList<DGIndepNodeForAsyncPref*, 1024, int64_t>;
    // Drops the loader's reference of every request in queue and empties it.
    static void DropAll(Queue& queue);

    WorkerThreadX m_thread;
    CriticalSection m_lock;
    Event m_work{true, false}; // set while the queue holds something
    Queue m_queue;
    bool m_stopQueued = false;
    bool m_started = false;
};

} // namespace vorn
