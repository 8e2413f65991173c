#include "vnUtils/Threads.h"
#include "vnUtils/Exceptions.h"
#include "vnPlatform/Thread.h"


namespace vorn {

WorkerThreadX::~WorkerThreadX()
{
    CloseThreadHandle(*this);
}

void WorkerThreadX::StartThread(IWorkerThreadFn* fn, int priority)
{
    m_joinLater.store(false, std::memory_order_relaxed);
    m_fn.store(fn, std::memory_order_release);
    PlatformHandle* h = nullptr;
    const int rc = CreateThreadHandle(ThreadStartRoutine, this, &m_threadId, &h);
    if (rc != 0) {
        m_fn.store(nullptr, std::memory_order_relaxed);
        m_threadId = 0;
        throw SystemException(uint32_t(rc));
    }
    m_handle = h;
    SetThreadPriority(*this, priority);
}

bool WorkerThreadX::IsCurrentThread() const
{
    return m_threadId != 0 && m_threadId == GetCurrentThreadId();
}

void WorkerThreadX::JoinThread()
{
    // The id is known before the body runs; the handle only after the creator stored it.
    if (IsCurrentThread()) {
        m_joinLater.store(true, std::memory_order_release);
        return;
    }
    if (!m_handle)
        return;
    WaitForSingleObject(m_handle, INFINITE);
    CloseHandle(m_handle);
    m_handle = nullptr;
    m_threadId = 0;
}

uint32_t ThreadStartRoutine(void* record)
{
    auto* r = static_cast<WorkerThreadX*>(record);
    r->m_fn.load(std::memory_order_acquire)->ThreadMain();
    r->m_fn.store(nullptr, std::memory_order_release);
    return 0;
}

void SetThreadName(const char* name)
{
    SetCurrentThreadName(name);
}

void SetThreadPriority(WorkerThreadX& record, int priority)
{
    if (!record.m_threadId)
        return;
    int offset;
    switch (priority) {
    case THREAD_PRIORITY_IDLE: offset = 40; break; // clamped to 19
    case THREAD_PRIORITY_LOWEST: offset = 10; break;
    case THREAD_PRIORITY_BELOW_NORMAL: offset = 5; break;
    case THREAD_PRIORITY_NORMAL: offset = 0; break;
    case THREAD_PRIORITY_ABOVE_NORMAL: offset = -5; break;
    case THREAD_PRIORITY_HIGHEST: offset = -10; break;
    case THREAD_PRIORITY_TIME_CRITICAL: offset = -40; break; // clamped to -20
    default: offset = -priority * 5; break;
    }
    // A refused raise (no privilege) leaves the thread where it is.
    (void)SetThreadNice(record.m_threadId, GetProcessNice() + offset);
}

void CloseThreadHandle(WorkerThreadX& record)
{
    if (record.m_joinLater.load(std::memory_order_acquire)) {
        if (record.m_handle && !record.IsCurrentThread())
            WaitForSingleObject(record.m_handle, INFINITE);
        record.m_joinLater.store(false, std::memory_order_relaxed);
        CloseHandle(record.m_handle);
        record.m_handle = nullptr;
        record.m_threadId = 0;
    } else if (record.m_handle) {
        CloseHandle(record.m_handle);
        record.m_handle = nullptr;
        record.m_threadId = 0;
    }
}

Event::Event(bool manualReset, bool initialState)
{
    const int rc = CreateEventHandle(manualReset, initialState, &m_handle);
    if (rc != 0)
        throw SystemException(uint32_t(rc));
}

Event::~Event()
{
    CloseHandle(m_handle);
}

} // namespace vorn
