#include "vnPlatform/Thread.h"
#include "vnPlatform/PlatformHandleImpl.h"
#include "vnPlatform/InterruptSignals.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace vorn {

namespace {

std::atomic<int> g_threadFailSkip{-1};
std::atomic<int> g_threadFailCode{0};

int TakeInjectedThreadFailure()
{
    int s = g_threadFailSkip.load(std::memory_order_acquire);
    while (s >= 0) {
        if (g_threadFailSkip.compare_exchange_weak(s, s - 1, std::memory_order_acq_rel))
            return s == 0 ? g_threadFailCode.load(std::memory_order_relaxed) : 0;
    }
    return 0;
}

// Shared by the handle and the running thread; the last of the two frees it.
struct ThreadImpl final : PlatformHandle {
    pthread_t m_thread{};
    std::atomic<int> m_refs{2};

    // The join happens once, under m_joinLock; later infinite waits return at once.
    pthread_mutex_t m_joinLock = PTHREAD_MUTEX_INITIALIZER;
    bool m_joined = false;

    // Set when the entry function has returned; timed waits watch it.
    pthread_mutex_t m_stateLock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_exitedCond;
    bool m_exited = false;

    ThreadImpl()
    {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&m_exitedCond, &attr);
        pthread_condattr_destroy(&attr);
    }

    ~ThreadImpl() override
    {
        pthread_cond_destroy(&m_exitedCond);
        pthread_mutex_destroy(&m_stateLock);
        pthread_mutex_destroy(&m_joinLock);
    }

    void Release()
    {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    void MarkExited()
    {
        pthread_mutex_lock(&m_stateLock);
        m_exited = true;
        pthread_cond_broadcast(&m_exitedCond);
        pthread_mutex_unlock(&m_stateLock);
    }

    uint32_t Wait(uint32_t ms) override
    {
        if (pthread_equal(m_thread, pthread_self()))
            return WAIT_FAILED;
        if (ms == INFINITE) {
            pthread_mutex_lock(&m_joinLock);
            if (!m_joined) {
                pthread_join(m_thread, nullptr);
                m_joined = true;
            }
            pthread_mutex_unlock(&m_joinLock);
            return WAIT_OBJECT_0;
        }
        pthread_mutex_lock(&m_stateLock);
        if (!m_exited && ms != 0) {
            ::timespec deadline;
            MonotonicDeadline(ms, &deadline);
            while (!m_exited) {
                if (pthread_cond_timedwait(&m_exitedCond, &m_stateLock, &deadline) == ETIMEDOUT)
                    break;
            }
        }
        const bool exited = m_exited;
        pthread_mutex_unlock(&m_stateLock);
        return exited ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }

    void Close() override
    {
        pthread_mutex_lock(&m_joinLock);
        if (!m_joined) {
            pthread_detach(m_thread);
            m_joined = true;
        }
        pthread_mutex_unlock(&m_joinLock);
        Release();
    }
};

// Lives on the creator's stack until the new thread has published its id.
struct StartBlock {
    ThreadEntry entry;
    void* arg;
    uint32_t* threadId;
    ThreadImpl* impl;
    std::atomic<int> started{0};
};

void* Trampoline(void* p)
{
    auto* block = static_cast<StartBlock*>(p);
    const ThreadEntry entry = block->entry;
    void* const arg = block->arg;
    ThreadImpl* const impl = block->impl;
    *block->threadId = GetCurrentThreadId();
    block->started.store(1, std::memory_order_release);
    block->started.notify_one(); // the block may be gone after this
    entry(arg);
    impl->MarkExited();
    impl->Release();
    return nullptr;
}

} // namespace

int CreateThreadHandle(ThreadEntry entry, void* arg, uint32_t* threadId, PlatformHandle** out)
{
    *out = nullptr;
    if (int injected = TakeInjectedThreadFailure())
        return injected;
    auto* impl = new (std::nothrow) ThreadImpl;
    if (!impl)
        return ENOMEM;
    StartBlock block{entry, arg, threadId, impl};
    // The new thread starts with the signals sent to end the process blocked: they go to
    // the main thread, which acts on them at once, rather than to a worker that may be
    // waiting where they are not seen for a while.
    sigset_t interrupts, previous;
    sigemptyset(&interrupts);
    AddProcessInterruptSignals(&interrupts);
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    const int rc = pthread_create(&impl->m_thread, nullptr, Trampoline, &block);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc != 0) {
        delete impl;
        return rc;
    }
    while (block.started.load(std::memory_order_acquire) == 0)
        block.started.wait(0, std::memory_order_acquire);
    *out = impl;
    return 0;
}

uint32_t GetCurrentThreadId()
{
    return uint32_t(gettid());
}

void SetCurrentThreadName(const char* name)
{
    char buf[16];
    size_t n = name ? std::strlen(name) : 0;
    if (n > 15) {
        n = 15;
        // Do not cut a UTF-8 sequence: back up over continuation bytes.
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
            --n;
    }
    if (n)
        std::memcpy(buf, name, n);
    buf[n] = 0;
    pthread_setname_np(pthread_self(), buf);
}

bool GetCurrentThreadName(char* buf, size_t size)
{
    return pthread_getname_np(pthread_self(), buf, size) == 0;
}

int GetProcessNice()
{
    errno = 0;
    const int v = getpriority(PRIO_PROCESS, id_t(getpid()));
    return errno ? 0 : v;
}

int GetThreadNice(uint32_t threadId, int* nice)
{
    errno = 0;
    const int v = getpriority(PRIO_PROCESS, id_t(threadId));
    if (errno)
        return errno;
    *nice = v;
    return 0;
}

int SetThreadNice(uint32_t threadId, int nice)
{
    if (nice < -20)
        nice = -20;
    if (nice > 19)
        nice = 19;
    return setpriority(PRIO_PROCESS, id_t(threadId), nice) == 0 ? 0 : errno;
}

void SleepMilliseconds(uint32_t ms)
{
    ::timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void InjectThreadCreateFailure(int skip, int errorCode)
{
    g_threadFailCode.store(errorCode, std::memory_order_relaxed);
    g_threadFailSkip.store(skip < 0 ? 0 : skip, std::memory_order_release);
}

} // namespace vorn
