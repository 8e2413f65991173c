#include "vnUtils/ThreadPool.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"
#include "vnPlatform/Thread.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace vorn;

namespace {

class CountTask : public IThreadPoolTask {
public:
    void Run() override { m_runs.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<int> m_runs{0};
};

// Announces that it runs, then blocks until the gate opens.
class GateTask : public IThreadPoolTask {
public:
    GateTask() : m_gate(true, false), m_started(false, false) {}
    void Run() override
    {
        ++m_running;
        m_started.Set();
        m_gate.Wait();
        ++m_done;
    }
    // Waits until n runs have started.
    void WaitStarted(int n)
    {
        while (m_running.load() < n)
            m_started.Wait(50);
    }
    Event m_gate;
    Event m_started;
    std::atomic<int> m_running{0};
    std::atomic<int> m_done{0};
};

class SleepTask : public IThreadPoolTask {
public:
    void Run() override
    {
        SleepMilliseconds(5);
        ++m_runs;
    }
    std::atomic<int> m_runs{0};
};

class ThrowTask : public IThreadPoolTask {
public:
    explicit ThrowTask(int kind) : m_kind(kind) {}
    void Run() override
    {
        switch (m_kind) {
        case 0: throw SystemException(ENOENT);
        case 1: throw std::runtime_error("bad tile");
        default: throw 42;
        }
    }
    int m_kind;
};

int Count(const std::string& text, const std::string& word)
{
    int n = 0;
    for (size_t p = text.find(word); p != std::string::npos; p = text.find(word, p + 1))
        ++n;
    return n;
}

} // namespace

TEST(ThreadPoolThreaded, ExecuterWithoutTasksReturnsAtOnce)
{
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(2));
    ITaskExecuter* e = pool->CreateTaskExecuter();
    e->WaitForAllTasks();
    EXPECT_EQ(e->GetNumPendingTasks(), 0);
    delete e;
    EXPECT_EQ(pool->GetNumQueuedTasks(), 0);
}

TEST(ThreadPoolThreaded, ManySmallTasksFromSeveralSubmitters)
{
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(4));
    constexpr int Submitters = 4, PerSubmitter = 5000;
    CountTask shared;
    std::unique_ptr<ITaskExecuter> sharedExec(pool->CreateTaskExecuter());
    std::vector<std::unique_ptr<CountTask>> own;
    for (int i = 0; i < Submitters; ++i)
        own.push_back(std::make_unique<CountTask>());
    std::vector<std::thread> submitters;
    for (int s = 0; s < Submitters; ++s) {
        submitters.emplace_back([&, s] {
            std::unique_ptr<ITaskExecuter> mine(pool->CreateTaskExecuter());
            for (int i = 0; i < PerSubmitter; ++i) {
                mine->AddTask(own[size_t(s)].get());
                sharedExec->AddTask(&shared);
            }
            mine->WaitForAllTasks();
            EXPECT_EQ(mine->GetNumPendingTasks(), 0);
            EXPECT_EQ(own[size_t(s)]->m_runs.load(), PerSubmitter);
        });
    }
    for (auto& t : submitters)
        t.join();
    sharedExec->WaitForAllTasks();
    EXPECT_EQ(shared.m_runs.load(), Submitters * PerSubmitter);
    EXPECT_EQ(sharedExec->GetNumPendingTasks(), 0);
    EXPECT_EQ(pool->GetNumQueuedTasks(), 0);
}

TEST(ThreadPoolThreaded, BusyWorkersQueueFurtherTasks)
{
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(2));
    std::unique_ptr<ITaskExecuter> e(pool->CreateTaskExecuter());
    GateTask gate;
    CountTask count;
    e->AddTask(&gate);
    e->AddTask(&gate); // the same task on both workers at once
    gate.WaitStarted(2);
    for (int i = 0; i < 3; ++i)
        e->AddTask(&count);
    EXPECT_EQ(pool->GetNumQueuedTasks(), 3);
    EXPECT_EQ(e->GetNumPendingTasks(), 5);
    EXPECT_EQ(count.m_runs.load(), 0);
    gate.m_gate.Set();
    e->WaitForAllTasks();
    EXPECT_EQ(pool->GetNumQueuedTasks(), 0);
    EXPECT_EQ(e->GetNumPendingTasks(), 0);
    EXPECT_EQ(gate.m_done.load(), 2);
    EXPECT_EQ(count.m_runs.load(), 3);
}

TEST(ThreadPoolThreaded, ExecutersWaitOnlyForTheirOwnTasks)
{
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(2));
    std::unique_ptr<ITaskExecuter> a(pool->CreateTaskExecuter());
    std::unique_ptr<ITaskExecuter> b(pool->CreateTaskExecuter());
    GateTask gate;
    CountTask count;
    a->AddTask(&gate);
    gate.WaitStarted(1);
    for (int i = 0; i < 100; ++i)
        b->AddTask(&count);
    b->WaitForAllTasks();
    EXPECT_EQ(count.m_runs.load(), 100);
    EXPECT_EQ(a->GetNumPendingTasks(), 1);
    gate.m_gate.Set();
    a->WaitForAllTasks();
    EXPECT_EQ(a->GetNumPendingTasks(), 0);
}

TEST(ThreadPoolThreaded, DeletingAnExecuterWaitsForItsTasks)
{
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(2));
    SleepTask task;
    ITaskExecuter* e = pool->CreateTaskExecuter();
    for (int i = 0; i < 8; ++i)
        e->AddTask(&task);
    delete e;
    EXPECT_EQ(task.m_runs.load(), 8);
}

TEST(ThreadPoolThreaded, DeletingThePoolRunsQueuedTasks)
{
    IThreadPool* pool = CreateThreadPool(2);
    std::unique_ptr<ITaskExecuter> e(pool->CreateTaskExecuter());
    GateTask gate;
    CountTask count;
    e->AddTask(&gate);
    e->AddTask(&gate);
    gate.WaitStarted(2);
    for (int i = 0; i < 50; ++i)
        e->AddTask(&count);
    std::thread opener([&] {
        SleepMilliseconds(30); // let the pool begin to stop first
        gate.m_gate.Set();
    });
    delete pool;
    EXPECT_EQ(count.m_runs.load(), 50);
    EXPECT_EQ(e->GetNumPendingTasks(), 0);
    opener.join();
}

TEST(ThreadPoolThreaded, TaskHandedOverJustBeforeStopStillRuns)
{
    // The submission hands the task to the idle worker and the pool is deleted before
    // that worker wakes: the task must run and count as finished.
    CountTask count;
    for (int i = 0; i < 200; ++i) {
        IThreadPool* pool = CreateThreadPool(1);
        ITaskExecuter* e = pool->CreateTaskExecuter();
        e->AddTask(&count);
        delete pool;
        ASSERT_EQ(e->GetNumPendingTasks(), 0);
        delete e;
    }
    EXPECT_EQ(count.m_runs.load(), 200);
}

namespace {

// Waits for the gate, then adds a follow-up task to its executer.
class ChainTask : public IThreadPoolTask {
public:
    ChainTask(ITaskExecuter* e, IThreadPoolTask* next) : m_exec(e), m_next(next), m_gate(true, false), m_started(true, false) {}
    void Run() override
    {
        m_started.Set();
        m_gate.Wait();
        m_exec->AddTask(m_next);
    }
    ITaskExecuter* m_exec;
    IThreadPoolTask* m_next;
    Event m_gate;
    Event m_started;
};

} // namespace

TEST(ThreadPoolThreaded, TaskAddedWhileStoppingGoesToARunningWorker)
{
    // A stopped worker must not stay on the idle stack, where a submission made during
    // the pool's destruction would hand it a task that never runs.
    IThreadPool* pool = CreateThreadPool(2);
    std::unique_ptr<ITaskExecuter> e(pool->CreateTaskExecuter());
    CountTask follow;
    ChainTask chain(e.get(), &follow);
    e->AddTask(&chain);
    chain.m_started.Wait();
    std::thread opener([&] {
        SleepMilliseconds(30); // the idle worker stops meanwhile
        chain.m_gate.Set();
    });
    delete pool;
    opener.join();
    EXPECT_EQ(follow.m_runs.load(), 1);
    EXPECT_EQ(e->GetNumPendingTasks(), 0);
    e->WaitForAllTasks();
}

TEST(ThreadPoolThreaded, ThrowingTaskIsTracedAndCountedAsFinished)
{
    CloseLogSink();
    const bool showTime = TraceShowTime;
    TraceShowTime = false;
    {
        std::unique_ptr<IThreadPool> pool(CreateThreadPool(1));
        std::unique_ptr<ITaskExecuter> e(pool->CreateTaskExecuter());
        ThrowTask t0(0), t1(1), t2(2);
        CountTask after;
        e->AddTask(&t0);
        e->AddTask(&t1);
        e->AddTask(&t2);
        e->AddTask(&after); // the one worker survives the failures
        e->WaitForAllTasks();
        EXPECT_EQ(e->GetNumPendingTasks(), 0);
        EXPECT_EQ(after.m_runs.load(), 1);
    }
    const xstring pendingText = GetLogSink()->GetPendingText();
    const std::string text(pendingText.data(), size_t(pendingText.size()));
    CloseLogSink();
    TraceShowTime = showTime;
    EXPECT_EQ(Count(text, "Exception in thread pool task : "), 3) << text;
    EXPECT_NE(text.find("Operating system error"), std::string::npos) << text;
    EXPECT_NE(text.find("bad tile"), std::string::npos) << text;
    EXPECT_NE(text.find("unknown exception"), std::string::npos) << text;
}

TEST(ThreadPoolThreaded, FewerThanOneThreadGivesOneWorker)
{
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(0));
    std::unique_ptr<ITaskExecuter> e(pool->CreateTaskExecuter());
    CountTask count;
    e->AddTask(&count);
    e->AddTask(&count);
    e->WaitForAllTasks();
    EXPECT_EQ(count.m_runs.load(), 2);
}

TEST(ThreadPoolThreaded, FailedThreadCreationThrowsAndJoinsStartedWorkers)
{
    InjectThreadCreateFailure(2, EAGAIN);
    try {
        delete CreateThreadPool(4);
        FAIL() << "no exception";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), uint32_t(EAGAIN));
    }
    InjectEventCreateFailure(1, ENOMEM);
    try {
        delete CreateThreadPool(4);
        FAIL() << "no exception";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), uint32_t(ENOMEM));
    }
    // Nothing is left armed: a pool can be made again.
    std::unique_ptr<IThreadPool> pool(CreateThreadPool(2));
    std::unique_ptr<ITaskExecuter> e(pool->CreateTaskExecuter());
    CountTask count;
    e->AddTask(&count);
    e->WaitForAllTasks();
    EXPECT_EQ(count.m_runs.load(), 1);
}
