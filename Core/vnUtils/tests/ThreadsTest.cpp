#include "vnUtils/Threads.h"
#include "vnUtils/Exceptions.h"
#include "vnPlatform/Thread.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace vorn;

namespace {

// Runs a function object as a thread body.
template <class F>
class FnBody : public IWorkerThreadFn {
public:
    explicit FnBody(F f) : m_f(std::move(f)) {}
    void ThreadMain() override { m_f(); }
private:
    F m_f;
};
template <class F>
FnBody<F> MakeBody(F f) { return FnBody<F>(std::move(f)); }

std::string CurrentName()
{
    char buf[64] = {};
    return GetCurrentThreadName(buf, sizeof buf) ? std::string(buf) : std::string("?");
}

// An owner in the manner of the store's threads: a stop flag and event of its own;
// the body may stop the owner itself.
class Owner : public WorkerThreadX, public IWorkerThreadFn {
public:
    Owner(std::atomic<bool>& bodyDone, Event& stoppedItself, Event& release)
        : m_bodyDone(bodyDone), m_stoppedItself(stoppedItself), m_release(release), m_wake(false, false)
    {
        StartThread(this, THREAD_PRIORITY_NORMAL);
    }
    ~Owner() override { CloseThreadHandle(*this); }

    void Stop()
    {
        m_stop = true;
        m_wake.Set();
        JoinThread();
    }

    void ThreadMain() override
    {
        SetThreadName("Owner Test");
        Stop(); // from the thread itself: must not block
        m_stoppedItself.Set();
        m_release.Wait();
        m_bodyDone = true;
    }

private:
    std::atomic<bool>& m_bodyDone;
    Event& m_stoppedItself;
    Event& m_release;
    std::atomic<bool> m_stop{false};
    Event m_wake;
};

} // namespace

TEST(ThreadsThreaded, StartAndJoin)
{
    std::atomic<uint32_t> seenId{0};
    std::atomic<int> runs{0};
    auto body = MakeBody([&] {
        seenId = GetCurrentThreadId();
        ++runs;
    });
    WorkerThreadX t;
    t.StartThread(&body);
    ASSERT_NE(t.m_handle, nullptr);
    const uint32_t id = t.m_threadId;
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_FALSE(t.IsCurrentThread());
    t.JoinThread();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(seenId, id);
    EXPECT_EQ(t.m_handle, nullptr);
    EXPECT_EQ(t.m_threadId, 0u);
    EXPECT_TRUE(t.IsFinished());
    t.JoinThread(); // idle record: nothing to do
}

TEST(ThreadsThreaded, BodyThatReturnsAtOnceLeavesFinishedRecord)
{
    auto body = MakeBody([] {});
    WorkerThreadX t;
    t.StartThread(&body);
    while (!t.IsFinished())
        SleepMilliseconds(1);
    EXPECT_NE(t.m_handle, nullptr);
    CloseThreadHandle(t);
    EXPECT_EQ(t.m_handle, nullptr);
}

TEST(ThreadsThreaded, WaitOnThreadHandleWithTimeout)
{
    Event gate(true, false);
    auto body = MakeBody([&] { gate.Wait(); });
    WorkerThreadX t;
    t.StartThread(&body);
    EXPECT_FALSE(t.Wait(10)); // still running
    gate.Set();
    EXPECT_TRUE(t.Wait()); // join
    EXPECT_TRUE(t.Wait(0));
    EXPECT_TRUE(t.Wait());
    t.JoinThread();
}

TEST(ThreadsThreaded, StopFromOwnThreadDefersTheJoin)
{
    std::atomic<bool> bodyDone{false};
    Event stoppedItself(true, false), release(true, false);
    auto* owner = new Owner(bodyDone, stoppedItself, release);
    stoppedItself.Wait(); // Stop returned on the owner's own thread
    EXPECT_TRUE(owner->m_joinLater.load());
    EXPECT_NE(owner->m_handle, nullptr);
    EXPECT_FALSE(bodyDone);
    // Destroying from another thread waits for the body to return.
    std::thread releaser([&] {
        SleepMilliseconds(20);
        release.Set();
    });
    delete owner;
    EXPECT_TRUE(bodyDone);
    releaser.join();
}

TEST(ThreadsThreaded, ThreadNameIsCutToFifteenBytes)
{
    std::string full, cut, utf8, plain;
    auto body = MakeBody([&] {
        SetThreadName("Unnamed ThreadPool Thread");
        full = CurrentName();
        SetThreadName("abcdefghijklmn\xc3\xa9z"); // a two-byte character at bytes 14 and 15
        utf8 = CurrentName();
        SetThreadName("Lazy Writer");
        plain = CurrentName();
    });
    WorkerThreadX t;
    t.StartThread(&body);
    t.JoinThread();
    EXPECT_EQ(full, "Unnamed ThreadP");
    EXPECT_EQ(utf8, "abcdefghijklmn");
    EXPECT_EQ(plain, "Lazy Writer");
}

TEST(ThreadsThreaded, PriorityBecomesNiceValue)
{
    Event prioritySet(true, false);
    std::atomic<int> lowNice{1000};
    auto low = MakeBody([&] {
        prioritySet.Wait();
        int n = 0;
        if (GetThreadNice(GetCurrentThreadId(), &n) == 0)
            lowNice = n;
    });
    WorkerThreadX t;
    t.StartThread(&low, THREAD_PRIORITY_BELOW_NORMAL);
    prioritySet.Set();
    t.JoinThread();
    const int base = GetProcessNice();
    EXPECT_EQ(lowNice, base + 5 > 19 ? 19 : base + 5);

    // A raise may be refused; either way nothing is reported.
    auto high = MakeBody([] {});
    WorkerThreadX h;
    EXPECT_NO_THROW(h.StartThread(&high, THREAD_PRIORITY_TIME_CRITICAL));
    h.JoinThread();
}

TEST(Threads, ThreadThatCannotBeCreatedThrows)
{
    auto body = MakeBody([] {});
    WorkerThreadX t;
    InjectThreadCreateFailure(0, EAGAIN);
    try {
        t.StartThread(&body);
        FAIL() << "no exception";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), uint32_t(EAGAIN));
    }
    EXPECT_EQ(t.m_handle, nullptr);
    EXPECT_EQ(t.m_threadId, 0u);
    EXPECT_TRUE(t.IsFinished());
}

TEST(Events, ManualResetStaysSignalled)
{
    Event e(true, false);
    EXPECT_FALSE(e.Wait(0));
    EXPECT_FALSE(e.Wait(5));
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(5));
    EXPECT_TRUE(e.Wait());
    e.Reset();
    EXPECT_FALSE(e.Wait(0));
    Event on(true, true);
    EXPECT_TRUE(on.Wait(0));
    EXPECT_TRUE(on.Wait(0));
}

TEST(Events, AutoResetReleasesOneWait)
{
    Event e(false, false);
    EXPECT_FALSE(e.Wait(0));
    e.Set();
    e.Set(); // no count: still one release
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0));
    EXPECT_FALSE(e.Wait(5));
    Event on(false, true);
    EXPECT_TRUE(on.Wait());
    EXPECT_FALSE(on.Wait(0));
    e.Set();
    e.Reset();
    EXPECT_FALSE(e.Wait(0));
}

TEST(Events, EventThatCannotBeCreatedThrows)
{
    InjectEventCreateFailure(1, ENOMEM);
    Event first(true, false); // the one creation let through
    EXPECT_NE(first.m_handle, nullptr);
    try {
        Event e(false, false);
        FAIL() << "no exception";
    } catch (const SystemException& ex) {
        EXPECT_EQ(ex.GetErrorCode(), uint32_t(ENOMEM));
    }
    Event after(false, false); // one failure only
    EXPECT_NE(after.m_handle, nullptr);
}

TEST(EventsThreaded, ManualResetReleasesEveryWaiter)
{
    Event gate(true, false);
    std::atomic<int> released{0};
    auto body = MakeBody([&] {
        gate.Wait();
        ++released;
    });
    std::vector<WorkerThreadX> threads(4);
    for (auto& t : threads)
        t.StartThread(&body);
    gate.Set();
    for (auto& t : threads)
        t.JoinThread();
    EXPECT_EQ(released, 4);
}

TEST(EventsThreaded, AutoResetHandsOverOneAtATime)
{
    // Ping-pong between two threads through two auto-reset events.
    Event ping(false, false), pong(false, false);
    int shared = 0; // guarded by the hand-over
    auto body = MakeBody([&] {
        for (int i = 0; i < 1000; ++i) {
            ping.Wait();
            ++shared;
            pong.Set();
        }
    });
    WorkerThreadX t;
    t.StartThread(&body);
    for (int i = 0; i < 1000; ++i) {
        ping.Set();
        pong.Wait();
        ASSERT_EQ(shared, i + 1);
    }
    t.JoinThread();
}

TEST(CriticalSections, ReEntrant)
{
    CriticalSection cs;
    CriticalSectionLock outer(cs);
    {
        CriticalSectionLock inner(cs);
        EXPECT_TRUE(cs.TryEnter());
        cs.Leave();
    }
    outer.Unlock();
    outer.Unlock(); // a second release does nothing
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
}

TEST(CriticalSectionsThreaded, ExcludesOtherThreads)
{
    CriticalSection cs;
    long counter = 0;
    auto body = MakeBody([&] {
        for (int i = 0; i < 20000; ++i) {
            CriticalSectionLock a(cs);
            CriticalSectionLock b(cs);
            ++counter;
        }
    });
    std::vector<WorkerThreadX> threads(4);
    for (auto& t : threads)
        t.StartThread(&body);
    for (auto& t : threads)
        t.JoinThread();
    EXPECT_EQ(counter, 4 * 20000);

    // Held here (twice), it cannot be taken by another thread until fully left.
    cs.Enter();
    cs.Enter();
    std::atomic<int> got{-1};
    auto tryBody = MakeBody([&] {
        const bool ok = cs.TryEnter();
        if (ok)
            cs.Leave();
        got = ok ? 1 : 0;
    });
    WorkerThreadX t1;
    t1.StartThread(&tryBody);
    t1.JoinThread();
    EXPECT_EQ(got, 0);
    cs.Leave();
    WorkerThreadX t2;
    t2.StartThread(&tryBody);
    t2.JoinThread();
    EXPECT_EQ(got, 0);
    cs.Leave();
    WorkerThreadX t3;
    t3.StartThread(&tryBody);
    t3.JoinThread();
    EXPECT_EQ(got, 1);
}
