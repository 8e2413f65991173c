#include "vnUtils/ThreadPool.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"

#include <cxxabi.h>
#include <exception>

namespace vorn {

namespace {

// Traces a failure that escaped a task; tracing itself must not end the worker.
void TraceTaskFailure(const IException* e, const char* what)
{
    try {
        TraceStream ts;
        ts << "Exception in thread pool task : ";
        if (e)
            e->Write(ts);
        else
            ts << what;
        ts << "\n";
    } catch (...) {
    }
}

// Runs a task; whatever it throws is traced and the task counts as finished.
void RunTask(IThreadPoolTask* task)
{
    try {
        task->Run();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const IException& e) {
        TraceTaskFailure(&e, nullptr);
    } catch (const std::exception& e) {
        TraceTaskFailure(nullptr, e.what());
    } catch (...) {
        TraceTaskFailure(nullptr, "unknown exception");
    }
}

} // namespace

IThreadPool* CreateThreadPool(int32_t numThreads, void (*threadStart)())
{
    return new ThreadPool(numThreads, threadStart);
}

// ---------------------------------------------------------------------------------
// PoolThread

PoolThread::PoolThread() : m_wake(false, false) {}

PoolThread::~PoolThread()
{
    CloseThreadHandle(m_thread);
}

void PoolThread::ThreadMain()
{
    SetThreadName("Unnamed ThreadPool Thread");
    if (m_pool->m_threadStart) {
        try {
            m_pool->m_threadStart();
        } catch (...) {
        }
        if (m_pool->m_startsLeft.fetch_sub(1, std::memory_order_acq_rel) == 1) m_pool->m_started.Set();
    }
    for (;;) {
        m_wake.Wait();
        // A task handed over before the signal runs even when the pool is stopping.
        if (m_task) {
            do
                RunTask(m_task);
            while (m_pool->Complete(this));
        }
        if (m_stop.load(std::memory_order_acquire))
            return;
    }
}

// ---------------------------------------------------------------------------------
// TaskExecuter

TaskExecuter::TaskExecuter(ThreadPool* pool) : m_pool(pool), m_event(true, true) {}

TaskExecuter::~TaskExecuter()
{
    WaitForAllTasks();
}

void TaskExecuter::AddTask(IThreadPoolTask* task)
{
    m_pool->Submit(task, this);
}

void TaskExecuter::WaitForAllTasks()
{
    m_event.Wait();
}

// ---------------------------------------------------------------------------------
// ThreadPool

ThreadPool::ThreadPool(int32_t numThreads, void (*threadStart)())
    : m_threadStart(threadStart), m_started(true, false), m_numThreads(numThreads < 1 ? 1 : numThreads)
{
    m_startsLeft.store(m_numThreads, std::memory_order_relaxed);
    m_threads = new PoolThread[size_t(m_numThreads)];
    try {
        for (int32_t i = 0; i < m_numThreads; ++i) {
            PoolThread& w = m_threads[i];
            w.m_pool = this;
            w.m_thread.StartThread(&w, THREAD_PRIORITY_BELOW_NORMAL);
            CriticalSectionLock lock(m_lock);
            w.m_nextIdle = m_idle;
            m_idle = &w;
        }
    } catch (...) {
        Shutdown();
        delete[] m_threads;
        throw;
    }
    // Every worker's state is made when the pool is.
    if (m_threadStart) m_started.Wait();
}

ThreadPool::~ThreadPool()
{
    Shutdown();
    // Workers drain the queue before they stop; only a submission made after the last
    // of them ended can still be here.
    CriticalSectionLock lock(m_lock);
    while (!m_queue.empty()) {
        const auto [task, executer] = m_queue.front();
        m_queue.pop_front();
        m_lock.Leave();
        RunTask(task);
        m_lock.Enter();
        if (executer->m_count.fetch_sub(1, std::memory_order_relaxed) == 1)
            executer->m_event.Set();
    }
    lock.Unlock();
    delete[] m_threads;
}

void ThreadPool::Shutdown()
{
    {
        CriticalSectionLock lock(m_lock);
        for (int32_t i = 0; i < m_numThreads; ++i)
            m_threads[i].m_stop.store(true, std::memory_order_release);
        m_idle = nullptr;
    }
    for (int32_t i = 0; i < m_numThreads; ++i) {
        PoolThread& w = m_threads[i];
        w.m_wake.Set();
        w.m_thread.JoinThread();
    }
}

ITaskExecuter* ThreadPool::CreateTaskExecuter()
{
    return new TaskExecuter(this);
}

int32_t ThreadPool::GetNumQueuedTasks()
{
    CriticalSectionLock lock(m_lock);
    return int32_t(m_queue.size());
}

void ThreadPool::Submit(IThreadPoolTask* task, TaskExecuter* executer)
{
    CriticalSectionLock lock(m_lock);
    PoolThread* w = m_idle;
    if (!w)
        m_queue.emplace_back(task, executer); // may throw; nothing is counted then
    if (executer->m_count.fetch_add(1, std::memory_order_relaxed) == 0)
        executer->m_event.Reset();
    if (w) {
        m_idle = w->m_nextIdle;
        w->m_nextIdle = nullptr;
        w->m_task = task;
        w->m_executer = executer;
        w->m_wake.Set();
    }
}

bool ThreadPool::Complete(PoolThread* worker)
{
    CriticalSectionLock lock(m_lock);
    TaskExecuter* executer = worker->m_executer;
    worker->m_task = nullptr;
    worker->m_executer = nullptr;
    if (executer->m_count.fetch_sub(1, std::memory_order_relaxed) == 1)
        executer->m_event.Set();
    if (m_queue.empty()) {
        if (!worker->m_stop.load(std::memory_order_relaxed)) {
            worker->m_nextIdle = m_idle;
            m_idle = worker;
        }
        return false;
    }
    const auto& front = m_queue.front();
    worker->m_task = front.first;
    worker->m_executer = front.second;
    m_queue.pop_front();
    return true;
}

} // namespace vorn
