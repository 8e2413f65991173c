// vorn::CSpace: an object space. Heap objects of reflected classes are registered with
// it as {object, IObject table} pairs and from then on belong to it: its collector
// (a "Garbage Collector" thread, or SynchronousGc on the caller) destroys the objects
// that its roots no longer reach, and evicts objects held only through weak references
// that have not been touched recently, keeping the most recently touched ones up to
// the eviction threshold in bytes. The space lock (Lock/Unlock, re-entrant) guards the
// model objects and the dependency graph; registration needs no lock.
//
// Lock order: the pass lock, then the space lock, then the pending lock; each held by
// a guard, under the exception-safety rule of vnUtils/Threads.h.
#pragma once
#include "vnObject/ChunkedPtrList.h"
#include "vnObject/DepGraph.h"
#include "vnObject/ObjHeader.h"
#include "vnReflection/IObject.h"
#include "vnUtils/Threads.h"
#include "vnUtils/XVector.h"
#include <atomic>
#include <cstdint>

namespace vorn {

enum ECSpaceLockMode : int32_t {
    LOCK_SHARED_READ = 0,
    LOCK_EXCLUSIVE = 1, // both modes take the same exclusive lock
};

// A replacement body for the collector thread: called once with its object and the
// space; the thread ends when it returns.
struct GCThreadFn {
    void* m_object = nullptr;
    void (*m_function)(void* object, CSpace* space) = nullptr;
    bool IsNull() const { return m_function == nullptr; }
};

// The collector's root object: every pair in it is a strong reference.
class GCRoots : public IObjectBaseMixin<GCRoots> {
public:
    // IObject (the rest from IObjectBaseMixin).
    const ReflectedClass* GetReflectedClass() const;
    void VisitObjects(IObjectVisitor& v);
    void DestroyObject() { m_roots = xvector<AnyInterface>(); } // embedded in its space

    xvector<AnyInterface> m_roots;
};
// The class record of vorn::GCRoots, built on first request.
const ReflectedClass* GetGCRootsClassRecord();

// Holds the space lock.
class CSpaceMutex {
public:
    CriticalSection m_lock;
};

class CSpace : public IWorkerThreadFn, public CSpaceMutex {
public:
    static constexpr int32_t kDefaultMilliSecsPerGc = 1000;
    static constexpr int32_t kDefaultEvictionThreshold = 0x100000;
    static constexpr int32_t kNumPtrSlots = 16;

    // Stops the collector, destroys every registered object (deletion-inhibited ones
    // excepted) and frees the space. Not from the space's own collector thread.
    void Destroy();

    // Waits up to one collection period for the collector's wake event; false at once
    // when no collector runs, else whether it still runs.
    bool WaitForGarbageCollect();
    void Lock(ECSpaceLockMode mode = LOCK_EXCLUSIVE);
    // Enters the space lock only when that needs no wait; true when entered.
    bool TryLock();
    void Unlock();

    // Roots: the caller holds the space lock. No duplicate check.
    void AddGcRoot(AnyInterface object);
    // Erases the first root with the same object.
    void RemoveGcRoot(AnyInterface object);
    int32_t GetNumGcRoots() const { return m_roots.m_roots.size(); }

    void StartGc();
    // Stops the collector: from another thread waits for it to end; from the collector
    // thread itself only asks it to end after the current pass.
    void StopGc();
    bool IsGcRunning() const { return m_running.load(); }

    // Stamps the object, sets its owner and queues it for the collector. Any thread.
    void RegisterGcObject(AnyInterface object);
    // As RegisterGcObject, and the object is never destroyed by the space.
    void RegisterNonGcObject(AnyInterface object);
    int64_t GetNumObjects();

    // One collection pass on the calling thread (which must not hold the space lock
    // when another thread may be collecting).
    void SynchronousGc();

    int32_t GetMilliSecsPerGc();
    // A negative period runs passes back to back. Wakes a waiting collector.
    void SetMilliSecsPerGc(int32_t ms);
    int32_t GetEvictionThreshold();
    void SetEvictionThreshold(int32_t bytes);
    uint64_t GetTotalNumCompletedGcs() const { return m_completedGcs.load(std::memory_order_relaxed); }
    // Sixteen slots the space never reads; slot 0 holds the persistent space bound to it.
    void** GetPtrSlotArray() { return m_ptrSlots; }

    // Touch counter and eviction cut-off, in registration/touch units.
    uint64_t GetTouchCounter() const { return m_touchCounter.load(std::memory_order_relaxed); }
    uint64_t NextTouch() { return m_touchCounter.fetch_add(1, std::memory_order_relaxed) + 1; }
    uint64_t GetEvictionCutOff() const { return m_cutOff; }

    DGState& GetDGState() { return m_dgState; }
    GCRoots& GetRoots() { return m_roots; }

    // The collector thread's body.
    void ThreadMain() override;
    // The ordinary collector loop, for a thread function that runs it on the collector
    // thread: a pass every period until the collector is stopped. A pass waiting for the
    // space lock gives up when the collector is stopped, and a pass that fails is traced
    // and the loop goes on.
    void RunCollectorLoop();

private:
    friend CSpace* CreateCSpace(bool enableGC, GCThreadFn fn);
    friend void TransferCSpace(CSpace* source, CSpace* destination);
    CSpace(GCThreadFn fn);
    ~CSpace() override;

    void MergePending();
    void ComputeEvictionCutOff();
    void RunPass(bool fromCollector);
    static void ClearMarks(ChunkedPtrList& list);

    uint64_t m_cutOff = 0; // changed only by passes, under the pass lock
    std::atomic<uint64_t> m_touchCounter{0};
    GCThreadFn m_threadFn;
    CriticalSection m_periodLock;
    int32_t m_milliSecsPerGc = kDefaultMilliSecsPerGc;
    CriticalSection m_thresholdLock;
    int32_t m_evictionThreshold = kDefaultEvictionThreshold;
    Event m_wake{false, false};
    WorkerThreadX m_thread;
    std::atomic<bool> m_stopFromCollector{false};
    std::atomic<bool> m_running{false};
    CriticalSection m_passLock;
    GCRoots m_roots;
    CriticalSection m_pendingLock;
    ChunkedPtrList m_pending;
    ChunkedPtrList m_objects;
    std::atomic<int64_t> m_objectCount{0}; // m_objects.Count(), for readers outside a pass
    std::atomic<uint64_t> m_completedGcs{0};
    DGState m_dgState;
    void* m_ptrSlots[kNumPtrSlots] = {};
};

// Creates a space; starts its collector when enableGC. fn, when given, replaces the
// collector thread's loop.
CSpace* CreateCSpace(bool enableGC, GCThreadFn fn);
CSpace* CreateCSpace2(bool enableGC);

CSpace* GetAssociatedCSpace(AnyInterface object);
void InhibitDeletion(AnyInterface object);
void SetEvictableObjectSizeInBytes(AnyInterface object, int32_t size);
// Stamps the object with a fresh value of its owner's touch counter.
void SetTouched(AnyInterface object);
// Moves every object of source into destination (pending there until the next pass),
// with their inhibition bits, and hands over source's roots: source is left empty. The
// caller holds both space locks; source's collector must not be mid-pass elsewhere.
void TransferCSpace(CSpace* source, CSpace* destination);

// The calling thread's current space (null on a new thread).
CSpace* GetThreadCSpace();
void SetThreadCSpace(CSpace* space);
bool ObjectInThreadCSpace(AnyInterface object);

// The operations of the same names on the thread's current space.
void AddGcRoot(AnyInterface object);
void RemoveGcRoot(AnyInterface object);
void StartGc();
void StopGc();
void SynchronousGc();
int32_t GetMilliSecsPerGc();
void SetMilliSecsPerGc(int32_t ms);
int32_t GetEvictionThreshold();
void SetEvictionThreshold(int32_t bytes);
void RegisterGcObject(AnyInterface object);
void RegisterNonGcObject(AnyInterface object);

// Puts the thread's current space back when the scope ends.
class RestoreThreadCSpace {
public:
    RestoreThreadCSpace() : m_saved(GetThreadCSpace()) {}
    explicit RestoreThreadCSpace(CSpace* newSpace) : m_saved(GetThreadCSpace()) { SetThreadCSpace(newSpace); }
    ~RestoreThreadCSpace() { SetThreadCSpace(m_saved); }
    RestoreThreadCSpace(const RestoreThreadCSpace&) = delete;
    RestoreThreadCSpace& operator=(const RestoreThreadCSpace&) = delete;
private:
    CSpace* m_saved;
};

// Holds a space lock for its lifetime.
class CSpaceLock {
public:
    explicit CSpaceLock(CSpace* space, ECSpaceLockMode mode = LOCK_EXCLUSIVE) : m_space(space) { m_space->Lock(mode); }
    ~CSpaceLock() { m_space->Unlock(); }
    CSpaceLock(const CSpaceLock&) = delete;
    CSpaceLock& operator=(const CSpaceLock&) = delete;
private:
    CSpace* m_space;
};

} // namespace vorn
