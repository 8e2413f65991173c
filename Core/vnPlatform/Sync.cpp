#include "vnPlatform/Sync.h"
#include "vnPlatform/PlatformHandleImpl.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <pthread.h>
#include <time.h>

namespace vorn {

static_assert(sizeof(pthread_mutex_t) <= 40 && alignof(pthread_mutex_t) <= 8,
              "RecursiveMutex storage too small");

void MonotonicDeadline(uint32_t ms, ::timespec* out)
{
    clock_gettime(CLOCK_MONOTONIC, out);
    out->tv_sec += ms / 1000;
    out->tv_nsec += long(ms % 1000) * 1000000L;
    if (out->tv_nsec >= 1000000000L) {
        out->tv_nsec -= 1000000000L;
        ++out->tv_sec;
    }
}

namespace {

// Pending injected failure: -1 none, otherwise the number of creations still to pass.
struct FailureInjection {
    std::atomic<int> skip{-1};
    std::atomic<int> code{0};

    void Arm(int s, int c)
    {
        code.store(c, std::memory_order_relaxed);
        skip.store(s < 0 ? 0 : s, std::memory_order_release);
    }
    // 0, or the error code when this creation is to fail.
    int Take()
    {
        int s = skip.load(std::memory_order_acquire);
        while (s >= 0) {
            if (skip.compare_exchange_weak(s, s - 1, std::memory_order_acq_rel))
                return s == 0 ? code.load(std::memory_order_relaxed) : 0;
        }
        return 0;
    }
};

FailureInjection g_eventFailure;

struct EventImpl final : PlatformHandle {
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_manualReset;
    bool m_signalled;

    EventImpl(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

    int Init()
    {
        int rc = pthread_mutex_init(&m_mutex, nullptr);
        if (rc != 0)
            return rc;
        pthread_condattr_t attr;
        rc = pthread_condattr_init(&attr);
        if (rc == 0) {
            rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
            if (rc == 0)
                rc = pthread_cond_init(&m_cond, &attr);
            pthread_condattr_destroy(&attr);
        }
        if (rc != 0)
            pthread_mutex_destroy(&m_mutex);
        return rc;
    }

    ~EventImpl() override
    {
        pthread_cond_destroy(&m_cond);
        pthread_mutex_destroy(&m_mutex);
    }

    void Set()
    {
        pthread_mutex_lock(&m_mutex);
        m_signalled = true;
        if (m_manualReset)
            pthread_cond_broadcast(&m_cond);
        else
            pthread_cond_signal(&m_cond);
        pthread_mutex_unlock(&m_mutex);
    }

    void Reset()
    {
        pthread_mutex_lock(&m_mutex);
        m_signalled = false;
        pthread_mutex_unlock(&m_mutex);
    }

    uint32_t Wait(uint32_t ms) override
    {
        pthread_mutex_lock(&m_mutex);
        if (!m_signalled && ms != 0) {
            if (ms == INFINITE) {
                while (!m_signalled)
                    pthread_cond_wait(&m_cond, &m_mutex);
            } else {
                ::timespec deadline;
                MonotonicDeadline(ms, &deadline);
                while (!m_signalled) {
                    if (pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) == ETIMEDOUT)
                        break;
                }
            }
        }
        const bool got = m_signalled;
        if (got && !m_manualReset)
            m_signalled = false;
        pthread_mutex_unlock(&m_mutex);
        return got ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
};

} // namespace

uint32_t WaitForSingleObject(PlatformHandle* h, uint32_t ms)
{
    return h ? h->Wait(ms) : WAIT_FAILED;
}

void CloseHandle(PlatformHandle* h)
{
    if (h)
        h->Close();
}

int CreateEventHandle(bool manualReset, bool initialState, PlatformHandle** out)
{
    *out = nullptr;
    if (int injected = g_eventFailure.Take())
        return injected;
    auto* e = new (std::nothrow) EventImpl(manualReset, initialState);
    if (!e)
        return ENOMEM;
    if (int rc = e->Init()) {
        ::operator delete(e); // members were never initialised
        return rc;
    }
    *out = e;
    return 0;
}

void SetEvent(PlatformHandle* event)
{
    static_cast<EventImpl*>(event)->Set();
}

void ResetEvent(PlatformHandle* event)
{
    static_cast<EventImpl*>(event)->Reset();
}

void InjectEventCreateFailure(int skip, int errorCode)
{
    g_eventFailure.Arm(skip, errorCode);
}

RecursiveMutex::RecursiveMutex()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(m_storage), &attr);
    pthread_mutexattr_destroy(&attr);
}

RecursiveMutex::~RecursiveMutex()
{
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(m_storage));
}

void RecursiveMutex::Lock()
{
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(m_storage));
}

bool RecursiveMutex::TryLock()
{
    return pthread_mutex_trylock(reinterpret_cast<pthread_mutex_t*>(m_storage)) == 0;
}

void RecursiveMutex::Unlock()
{
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(m_storage));
}

} // namespace vorn
