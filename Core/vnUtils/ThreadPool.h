// A fixed set of worker threads running small tasks for any number of task executers.
// An executer counts and awaits only its own tasks; tasks queued in the pool start in
// submission order, and an idle worker (last idle, first used) takes a submission
// directly. The pool neither owns nor frees tasks; one task object may be added
// several times and then runs once per addition. A task that lets an exception escape
// is traced and counted as finished.
//
// Calling order: create the pool, create executers, add tasks, wait (or delete the
// executer, which waits), delete every executer, then delete the pool from a thread
// outside it. Deleting the pool runs every task still queued before it returns.
#pragma once
#include "vnUtils/Threads.h"
#include <atomic>
#include <cstdint>
#include <deque>
#include <utility>

namespace vorn {

class IThreadPoolTask {
public:
    virtual ~IThreadPoolTask() = default;
    // Called on a worker thread, once for each addition of the task.
    virtual void Run() = 0;
};

// A unit of work as a functor: calls m_function(m_object). The functor owns nothing.
struct ThreadTaskFunctor {
    void* m_object = nullptr;
    void (*m_function)(void* object) = nullptr;
    bool IsNull() const { return m_function == nullptr; }
    void operator()() const { m_function(m_object); }
};

class ITaskExecuter {
public:
    // Waits until all of this executer's tasks have finished.
    virtual ~ITaskExecuter() = default;
    virtual void AddTask(IThreadPoolTask* task) = 0;
    // Blocks until no task of this executer is queued or running.
    virtual void WaitForAllTasks() = 0;
    // Tasks added and not yet finished; read without a lock, so possibly stale.
    virtual int32_t GetNumPendingTasks() = 0;
};

class IThreadPool {
public:
    virtual ~IThreadPool() = default;
    // A new executer bound to this pool; the caller deletes it.
    virtual ITaskExecuter* CreateTaskExecuter() = 0;
    // Tasks waiting in the queue (not those a worker is running).
    virtual int32_t GetNumQueuedTasks() = 0;
};

// A pool of numThreads workers (at least one), all started and idle, running at below
// normal priority. Throws vorn::SystemException when a thread or event cannot be made.
// Each worker first calls threadStart, when given, before it takes any task: there the
// caller makes the thread's state that has a destructor (thread_local objects) while
// memory is not yet short; the pool is returned once every worker has done so. A
// failure of threadStart is dropped: the state is then made at its first use.
IThreadPool* CreateThreadPool(int32_t numThreads, void (*threadStart)() = nullptr);

class ThreadPool;
class TaskExecuter;

// One worker: the task handed to it, a wake event and its thread.
class PoolThread : public IWorkerThreadFn {
public:
    PoolThread();
    ~PoolThread() override;
    void ThreadMain() override;

private:
    friend class ThreadPool;
    ThreadPool* m_pool = nullptr;
    TaskExecuter* m_executer = nullptr;
    IThreadPoolTask* m_task = nullptr;
    PoolThread* m_nextIdle = nullptr;
    Event m_wake;
    WorkerThreadX m_thread;
    std::atomic<bool> m_stop{false};
};

class TaskExecuter : public ITaskExecuter {
public:
    explicit TaskExecuter(ThreadPool* pool);
    ~TaskExecuter() override;
    void AddTask(IThreadPoolTask* task) override;
    void WaitForAllTasks() override;
    int32_t GetNumPendingTasks() override { return m_count.load(std::memory_order_relaxed); }

private:
    friend class ThreadPool;
    ThreadPool* m_pool;
    Event m_event; // signalled exactly while the count is 0
    std::atomic<int32_t> m_count{0}; // changed only under the pool lock
};

class ThreadPool : public IThreadPool {
public:
    explicit ThreadPool(int32_t numThreads, void (*threadStart)() = nullptr);
    ~ThreadPool() override;
    ITaskExecuter* CreateTaskExecuter() override;
    int32_t GetNumQueuedTasks() override;

private:
    friend class TaskExecuter;
    friend class PoolThread;
    void Submit(IThreadPoolTask* task, TaskExecuter* executer);
    // Counts the worker's task as finished; hands it the next queued task (true) or
    // puts it on the idle stack (false; a stopping worker is not put there).
    bool Complete(PoolThread* worker);
    void Shutdown();

    void (*const m_threadStart)();
    std::atomic<int32_t> m_startsLeft{0}; // workers that have not yet run m_threadStart
    Event m_started;                      // set when none is left

    CriticalSection m_lock;
    std::deque<std::pair<IThreadPoolTask*, TaskExecuter*>> m_queue;
    int32_t m_numThreads;
    PoolThread* m_threads = nullptr;
    PoolThread* m_idle = nullptr;
};

} // namespace vorn
