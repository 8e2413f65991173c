// Threads, events and locks. A thread runs an IWorkerThreadFn body; its owner keeps a
// WorkerThreadX record (by deriving from it or holding one), asks the body to finish
// by its own means and then joins it with JoinThread (which, on the thread itself, only
// defers the join to CloseThreadHandle). Events and critical sections wrap the platform
// objects; CriticalSectionLock leaves its section on scope exit.
//
// Exception safety, a rule of the whole framework (the lock orders of LSS.h, CSpace.h,
// PersistStore.h and the programs' own refer to it). Memory can run out at any
// allocation, on any thread, and the program must still end by itself and lose nothing
// that was committed:
//   - every lock is held by an object whose destructor leaves it (CriticalSectionLock,
//     std::lock_guard, the space and store guards); a lock taken in one call and left in
//     another is handed from guard to guard, never left to a line after code that may
//     throw;
//   - nothing on a failure path allocates: a catch block, a destructor run by unwinding
//     and the undoing of a half-done change use storage reserved beforehand (or fixed
//     storage), so that they cannot throw in their turn;
//   - no destructor throws: one that must do work that may fail (a report, a flush)
//     catches it and drops or records the failure;
//   - a thread's state with a destructor (thread_local objects, caches) is made before
//     the thread does work that may fail: the C library cannot register its destructor
//     when memory is short, and then ends the process;
//   - a background thread records its failure for the owner to throw (never lets it
//     leave the thread body), and the owner's stop and close paths still run.
#pragma once
#include "vnPlatform/Sync.h"
#include <atomic>
#include <cstdint>

namespace vorn {

// The body of a thread: runs on the new thread and returns when the thread is to end.
class IWorkerThreadFn {
public:
    virtual ~IWorkerThreadFn() = default;
    virtual void ThreadMain() = 0;
};

// A handle that can be waited on (null when there is none).
class WaitableObject {
public:
    WaitableObject() = default;
    WaitableObject(const WaitableObject&) = delete;
    WaitableObject& operator=(const WaitableObject&) = delete;

    // Waits without time-out; false for a null handle.
    bool Wait() const { return WaitForSingleObject(m_handle, INFINITE) == WAIT_OBJECT_0; }
    // Waits up to ms milliseconds; true when the object was signalled.
    bool Wait(uint32_t ms) const { return WaitForSingleObject(m_handle, ms) == WAIT_OBJECT_0; }
    PlatformHandle* GetHandle() const { return m_handle; }

    PlatformHandle* m_handle = nullptr;
};

// Thread priorities (mapped onto nice values relative to the process's: idle 19,
// lowest +10, below normal +5, normal 0, above normal -5, highest -10, time critical
// -20; a raise that the system refuses is ignored).
enum ThreadPriority : int {
    THREAD_PRIORITY_IDLE = -15,
    THREAD_PRIORITY_LOWEST = -2,
    THREAD_PRIORITY_BELOW_NORMAL = -1,
    THREAD_PRIORITY_NORMAL = 0,
    THREAD_PRIORITY_ABOVE_NORMAL = 1,
    THREAD_PRIORITY_HIGHEST = 2,
    THREAD_PRIORITY_TIME_CRITICAL = 15,
};

// The record of one thread: handle (idle when null), join-later flag, thread id and
// the body being run (cleared by ThreadStartRoutine when the body has returned).
class WorkerThreadX : public WaitableObject {
public:
    WorkerThreadX() = default;
    // Closes the handle as CloseThreadHandle does (waiting when a join is pending). A
    // record must outlive its body: destroy it only once the thread was joined, is
    // awaiting a join, or has finished.
    ~WorkerThreadX();

    // Starts fn on a new thread at the given priority. Throws vorn::SystemException
    // (errno value) when the thread cannot be created; the record then stays idle.
    void StartThread(IWorkerThreadFn* fn, int priority = THREAD_PRIORITY_NORMAL);
    // After the body was asked to finish: from another thread waits for it without
    // time-out, closes the handle and clears id and handle; from the thread itself only
    // sets the join-later flag.
    void JoinThread();
    bool IsCurrentThread() const;
    // The body has returned (or none was started).
    bool IsFinished() const { return m_fn.load(std::memory_order_acquire) == nullptr; }

    std::atomic<bool> m_joinLater{false};
    uint32_t m_threadId = 0;
    std::atomic<IWorkerThreadFn*> m_fn{nullptr};
};

// Entry of every framework thread: runs the record's body, then clears the record's
// body pointer and returns 0.
uint32_t ThreadStartRoutine(void* record);

// Names the calling thread for debuggers and system tools (cut to 15 bytes there).
void SetThreadName(const char* name);

// Sets a thread's priority (one of the values above); refusals are ignored.
void SetThreadPriority(WorkerThreadX& record, int priority);

// Used by owners' destructors: with the join-later flag set waits for the thread,
// closes the handle and clears id and handle; otherwise closes the handle if any.
void CloseThreadHandle(WorkerThreadX& record);

// A manual- or auto-reset event. Throws vorn::SystemException when it cannot be created.
class Event : public WaitableObject {
public:
    Event(bool manualReset, bool initialState);
    ~Event();
    void Set() { SetEvent(m_handle); }
    void Reset() { ResetEvent(m_handle); }
};

// A re-entrant lock: the holding thread may enter it again.
class CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { m_mutex.Lock(); }
    bool TryEnter() { return m_mutex.TryLock(); }
    void Leave() { m_mutex.Unlock(); }
private:
    RecursiveMutex m_mutex;
};

// Enters a critical section for its lifetime.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& cs) : m_cs(&cs) { cs.Enter(); }
    ~CriticalSectionLock() { Unlock(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
    // Leaves the section now (the destructor then does nothing).
    void Unlock()
    {
        if (m_cs) {
            m_cs->Leave();
            m_cs = nullptr;
        }
    }
private:
    CriticalSection* m_cs;
};

} // namespace vorn
