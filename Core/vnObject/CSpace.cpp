#include "vnObject/CSpace.h"
#include "vnReflection/CoreModule.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/ObjectPairs.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"
#include <chrono>
#include <exception>
#include <thread>

namespace vorn {

namespace {

thread_local CSpace* t_space = nullptr;

// Traces an exception that an object's OnGarbageCollect or Destroy let out; the
// collector goes on with the next object.
void TraceObjectFailure(const char* what, std::exception_ptr e) noexcept
{
    try {
        TraceStream t;
        t << "CSpace: exception out of " << what << " : " << DescribeException(e);
    } catch (...) {
    }
}

void CallOnGarbageCollect(AnyInterface p) noexcept
{
    try {
        TableOf(p).OnGarbageCollect(p.m_object);
    } catch (...) {
        TraceObjectFailure("OnGarbageCollect", std::current_exception());
    }
}

void CallDestroy(AnyInterface p) noexcept
{
    try {
        TableOf(p).Destroy(p.m_object);
    } catch (...) {
        TraceObjectFailure("Destroy", std::current_exception());
    }
}

// The collector's visitor: marks and pushes what a strong reference reaches; a weak
// reference keeps its target only when the target was touched after the cut-off, and
// is cleared otherwise.
class WeakTraceVisitor final : public IObjectVisitor {
public:
    WeakTraceVisitor(ChunkedPtrList& stack, uint64_t cutOff) : m_stack(stack), m_cutOff(cutOff) {}

    void VisitStrong(AnyInterface ref) override
    {
        if (ref.m_object == nullptr) return;
        ObjSysState& s = SysStateOf(ref);
        if (LoadObjFlags(s) & OBJ_MARKED) return;
        SetObjFlags(s, OBJ_MARKED);
        m_stack.Append(ref);
    }

    void VisitWeak(AnyInterface& ref) override
    {
        if (ref.m_object == nullptr) return;
        ObjSysState& s = SysStateOf(ref);
        if (LoadObjFlags(s) & OBJ_MARKED) return;
        if (int64_t(LoadStamp(s) - m_cutOff) > 0) {
            SetObjFlags(s, OBJ_MARKED);
            m_stack.Append(ref);
        } else {
            ref = AnyInterface{nullptr, nullptr};
            ++m_cleared;
        }
    }

    int64_t GetCleared() const { return m_cleared; }

private:
    ChunkedPtrList& m_stack;
    uint64_t m_cutOff;
    int64_t m_cleared = 0;
};

} // namespace

// ---- GCRoots ------------------------------------------------------------------------

const ReflectedClass* GCRoots::GetReflectedClass() const { return GetGCRootsClassRecord(); }

void GCRoots::VisitObjects(IObjectVisitor& v)
{
    VisitObjectPairs(m_roots, v);
}

const ReflectedClass* GetGCRootsClassRecord()
{
    static const ReflectedClass record = [] {
        static const char* const interfaces[] = {"vorn::IObject"};
        ReflectedClass rc = MakeClassRecord<GCRoots>("vorn::GCRoots", 0, TypeOps{});
        rc.m_interfaces = interfaces;
        rc.m_numDirectInterfaces = 1;
        return rc;
    }();
    return &record;
}

// ---- construction and destruction ---------------------------------------------------

CSpace::CSpace(GCThreadFn fn) : m_threadFn(fn)
{
    StoreOwner(m_roots.m_sys, this);
    StoreOwner(m_dgState.GetSysState(), this);
}

CSpace::~CSpace()
{
    StopGc();
    // A collector stopped from its own pass may still be sweeping: wait for it first.
    CloseThreadHandle(m_thread);
    MergePending();
    m_objects.ForEach([](AnyInterface& p) {
        if (!(LoadObjFlags(SysStateOf(p)) & OBJ_NO_DELETE)) CallDestroy(p);
    });
    m_objects.Clear();
    m_roots.m_roots = xvector<AnyInterface>();
}

CSpace* CreateCSpace(bool enableGC, GCThreadFn fn)
{
    CSpace* space = new CSpace(fn);
    if (enableGC) space->StartGc();
    return space;
}

CSpace* CreateCSpace2(bool enableGC) { return CreateCSpace(enableGC, GCThreadFn{}); }

void CSpace::Destroy() { delete this; }

// ---- locks, settings, registration ---------------------------------------------------

void CSpace::Lock(ECSpaceLockMode) { m_lock.Enter(); }
bool CSpace::TryLock() { return m_lock.TryEnter(); }
void CSpace::Unlock() { m_lock.Leave(); }

void CSpace::AddGcRoot(AnyInterface object)
{
    SysStateOf(object);
    AppendObjectPair(m_roots.m_roots, object);
}

void CSpace::RemoveGcRoot(AnyInterface object)
{
    SysStateOf(object);
    xvector<AnyInterface>& roots = m_roots.m_roots;
    for (int32_t i = 0; i < roots.size(); ++i) {
        if (roots[i].m_object == object.m_object) {
            for (int32_t j = i + 1; j < roots.size(); ++j) roots[j - 1] = roots[j];
            roots.resize(roots.size() - 1);
            return;
        }
    }
}

void CSpace::RegisterGcObject(AnyInterface object)
{
    ObjSysState& s = SysStateOf(object);
    StoreStamp(s, NextTouch());
    StoreOwner(s, this);
    CriticalSectionLock lock(m_pendingLock);
    m_pending.Append(object);
}

void CSpace::RegisterNonGcObject(AnyInterface object)
{
    RegisterGcObject(object);
    SetObjFlags(SysStateOf(object), OBJ_NO_DELETE);
}

int64_t CSpace::GetNumObjects()
{
    CriticalSectionLock lock(m_pendingLock);
    return m_pending.Count() + m_objectCount.load(std::memory_order_relaxed);
}

int32_t CSpace::GetMilliSecsPerGc()
{
    CriticalSectionLock lock(m_periodLock);
    return m_milliSecsPerGc;
}

void CSpace::SetMilliSecsPerGc(int32_t ms)
{
    // Stored before the collector is woken, so that it waits the new period next.
    {
        CriticalSectionLock lock(m_periodLock);
        m_milliSecsPerGc = ms;
    }
    m_wake.Set();
}

int32_t CSpace::GetEvictionThreshold()
{
    CriticalSectionLock lock(m_thresholdLock);
    return m_evictionThreshold;
}

void CSpace::SetEvictionThreshold(int32_t bytes)
{
    CriticalSectionLock lock(m_thresholdLock);
    m_evictionThreshold = bytes;
}

// ---- the collector thread ----------------------------------------------------------------

void CSpace::StartGc()
{
    if (m_running.load(std::memory_order_relaxed)) return;
    if (m_thread.GetHandle() != nullptr) CloseThreadHandle(m_thread); // stopped from itself earlier
    m_running.store(true, std::memory_order_relaxed);
    m_wake.Reset();
    m_stopFromCollector.store(false, std::memory_order_relaxed);
    try {
        m_thread.StartThread(this, THREAD_PRIORITY_ABOVE_NORMAL);
    } catch (const IException& e) {
        m_running.store(false, std::memory_order_relaxed);
        TraceStream t;
        t << "CSpace: the collector thread could not be started : ";
        e.Write(t);
    }
}

void CSpace::StopGc()
{
    if (!m_running.load()) return;
    if (m_thread.IsCurrentThread()) {
        // Asked by the collector itself: the thread ends after this pass and is joined
        // later. Recorded before the running flag drops, so whoever sees the collector
        // stopped also sees that a join is due.
        m_stopFromCollector.store(true);
        m_thread.JoinThread();
        m_running.store(false);
        m_wake.Set();
        return;
    }
    m_running.store(false);
    m_wake.Set();
    m_thread.JoinThread();
}

bool CSpace::WaitForGarbageCollect()
{
    if (!m_running.load()) return false;
    const int32_t ms = GetMilliSecsPerGc();
    if (ms >= 0) m_wake.Wait(uint32_t(ms));
    return m_running.load(std::memory_order_relaxed);
}

void CSpace::ThreadMain()
{
    SetThreadName("Garbage Collector");
    if (!m_threadFn.IsNull()) {
        m_threadFn.m_function(m_threadFn.m_object, this);
        return;
    }
    RunCollectorLoop();
}

void CSpace::RunCollectorLoop()
{
    while (m_running.load(std::memory_order_relaxed)) {
        const int32_t ms = GetMilliSecsPerGc();
        if (ms >= 0) m_wake.Wait(uint32_t(ms));
        if (!m_running.load(std::memory_order_relaxed)) break;
        try {
            RunPass(true);
        } catch (...) {
            TraceObjectFailure("a collection pass", std::current_exception());
        }
    }
}

void CSpace::SynchronousGc() { RunPass(false); }

// ---- the collection pass -----------------------------------------------------------------

void CSpace::ClearMarks(ChunkedPtrList& list)
{
    list.ForEach([](AnyInterface& p) {
        ObjSysState& s = SysStateOf(p);
        if (LoadObjFlags(s) & OBJ_MARKED) ClearObjFlags(s, OBJ_MARKED);
    });
}

void CSpace::MergePending()
{
    ChunkedPtrList taken;
    {
        CriticalSectionLock lock(m_pendingLock);
        taken = std::move(m_pending);
        m_objectCount.fetch_add(taken.Count(), std::memory_order_relaxed);
    }
    // A pending object may carry a mark from a trace that reached it before it was
    // spliced in; kept, that mark would hide its children from the next trace.
    ClearMarks(taken);
    m_objects.Splice(taken);
}

void CSpace::ComputeEvictionCutOff()
{
    const uint64_t counter = GetTouchCounter();
    const int64_t range = int64_t(counter - m_cutOff);
    if (range <= 0) return;
    int64_t histogram[256] = {};
    m_objects.ForEach([&](AnyInterface& p) {
        ObjSysState& s = SysStateOf(p);
        const int32_t size = LoadEvictableSize(s);
        if (size <= 0) return;
        const int64_t age = int64_t(counter - LoadStamp(s));
        int64_t bucket = 0;
        if (age >= range)
            bucket = 255;
        else if (age > 0)
            bucket = (age * 256) / range;
        histogram[bucket] += size;
    });
    const int64_t threshold = GetEvictionThreshold();
    int64_t sum = 0;
    int64_t j = 256;
    for (int64_t i = 0; i < 256; ++i) {
        sum += histogram[i];
        if (sum > threshold) {
            j = i;
            break;
        }
    }
    m_cutOff = counter - uint64_t((j * range) / 256);
}

void CSpace::RunPass(bool fromCollector)
{
    CriticalSectionLock passLock(m_passLock);
    TraceIndenter indent(20);
    MergePending();
    ComputeEvictionCutOff();

    // The collector gives up its pass when it is stopped while waiting for the space
    // lock: the thread stopping it may hold that lock.
    if (fromCollector) {
        for (int tries = 0; !m_lock.TryEnter(); ++tries) {
            if (!m_running.load(std::memory_order_relaxed)) return;
            if (tries < 64)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    } else {
        m_lock.Enter();
    }
    CriticalSectionLock spaceLock(m_lock);
    m_lock.Leave(); // now held once, by spaceLock

    MergePending();

    ChunkedPtrList stack;
    WeakTraceVisitor visitor(stack, m_cutOff);
    try {
        visitor.VisitStrong(m_roots.AsObject());
        visitor.VisitStrong(m_dgState.AsObject());
        while (!stack.Empty()) {
            const AnyInterface p = stack.PopBack();
            TableOf(p).VisitObjects(p.m_object, visitor);
        }
    } catch (...) {
        // Marks left behind would let the next pass skip (and free) reachable objects.
        ClearMarks(m_objects);
        ClearObjFlags(m_roots.m_sys, OBJ_MARKED);
        ClearObjFlags(m_dgState.GetSysState(), OBJ_MARKED);
        throw;
    }
    m_objects.ForEach([](AnyInterface& p) {
        if (!(LoadObjFlags(SysStateOf(p)) & OBJ_MARKED)) CallOnGarbageCollect(p);
    });
    spaceLock.Unlock();

    // Sweep: the survivors are compacted in place, their marks cleared.
    m_objects.KeepIf([](AnyInterface& p) {
        ObjSysState& s = SysStateOf(p);
        const int32_t flags = LoadObjFlags(s);
        if (flags & OBJ_MARKED) {
            ClearObjFlags(s, OBJ_MARKED);
            return true;
        }
        if (!(flags & OBJ_NO_DELETE)) CallDestroy(p);
        return false;
    });
    m_objectCount.store(m_objects.Count(), std::memory_order_relaxed);
    ClearObjFlags(m_roots.m_sys, OBJ_MARKED);
    ClearObjFlags(m_dgState.GetSysState(), OBJ_MARKED);
    m_completedGcs.fetch_add(1, std::memory_order_relaxed);
}

// ---- free functions ---------------------------------------------------------------------

CSpace* GetAssociatedCSpace(AnyInterface object) { return LoadOwner(SysStateOf(object)); }
void InhibitDeletion(AnyInterface object) { SetObjFlags(SysStateOf(object), OBJ_NO_DELETE); }
void SetEvictableObjectSizeInBytes(AnyInterface object, int32_t size) { StoreEvictableSize(SysStateOf(object), size); }

void SetTouched(AnyInterface object)
{
    ObjSysState& s = SysStateOf(object);
    StoreStamp(s, LoadOwner(s)->NextTouch());
}

void TransferCSpace(CSpace* source, CSpace* destination)
{
    if (source == destination) return;
    source->MergePending();
    const uint64_t stamp = destination->GetTouchCounter();
    source->m_objects.ForEach([&](AnyInterface& p) {
        ObjSysState& s = SysStateOf(p);
        StoreOwner(s, destination);
        StoreStamp(s, stamp);
        ClearObjFlags(s, OBJ_MARKED); // the no-delete bit stays
    });
    {
        CriticalSectionLock lock(destination->m_pendingLock);
        destination->m_pending.Splice(source->m_objects);
    }
    source->m_objectCount.store(0, std::memory_order_relaxed);
    // The source's roots (its space-root object, open stack frames) keep their objects
    // alive in the destination.
    for (const AnyInterface& r : source->m_roots.m_roots) destination->m_roots.m_roots.push_back(r);
    source->m_roots.m_roots = xvector<AnyInterface>();
}

CSpace* GetThreadCSpace() { return t_space; }
void SetThreadCSpace(CSpace* space) { t_space = space; }

bool ObjectInThreadCSpace(AnyInterface object) { return LoadOwner(SysStateOf(object)) == t_space; }

#define VORN_THREAD_SPACE_OP(ret, name, params, args) \
    ret name params { return t_space->name args; }
VORN_THREAD_SPACE_OP(void, AddGcRoot, (AnyInterface object), (object))
VORN_THREAD_SPACE_OP(void, RemoveGcRoot, (AnyInterface object), (object))
VORN_THREAD_SPACE_OP(void, StartGc, (), ())
VORN_THREAD_SPACE_OP(void, StopGc, (), ())
VORN_THREAD_SPACE_OP(void, SynchronousGc, (), ())
VORN_THREAD_SPACE_OP(int32_t, GetMilliSecsPerGc, (), ())
VORN_THREAD_SPACE_OP(void, SetMilliSecsPerGc, (int32_t ms), (ms))
VORN_THREAD_SPACE_OP(int32_t, GetEvictionThreshold, (), ())
VORN_THREAD_SPACE_OP(void, SetEvictionThreshold, (int32_t bytes), (bytes))
VORN_THREAD_SPACE_OP(void, RegisterGcObject, (AnyInterface object), (object))
VORN_THREAD_SPACE_OP(void, RegisterNonGcObject, (AnyInterface object), (object))
#undef VORN_THREAD_SPACE_OP

} // namespace vorn
