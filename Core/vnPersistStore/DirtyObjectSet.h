// vorn::DirtyObjectSet: the objects of one persistent space that changed since they
// were last written, in the order in which they became dirty. An object is queued at
// most once: only an object without the dirty flag is added. The set is "scheduled"
// while its space is on the writer's list of spaces to write.
//
// Adding happens under the space's CSpace lock; the writer takes the queue under the
// set's own lock while it holds the CSpace locks of the whole write group.
#pragma once
#include "vnPersistStore/Persistable.h"
#include "vnUtils/PagedDeque.h"
#include "vnUtils/Threads.h"

namespace vorn {

class IObjectVisitor;
class PSpace;

class DirtyObjectSet {
public:
    using Queue = PagedDeque<IPersistablePtr>;

    explicit DirtyObjectSet(PSpace* space) : m_space(space) {}
    DirtyObjectSet(const DirtyObjectSet&) = delete;
    DirtyObjectSet& operator=(const DirtyObjectSet&) = delete;

    // Sets the object's dirty flag and queues it; false (nothing changes) when it was
    // dirty already. Schedules the space.
    bool Add(IPersistablePtr object);
    // Puts the space on the writer's list unless it is there (a change that is not an
    // object, such as a removed root, must reach the store too). A change scheduled
    // while a write is in flight keeps the space on the list after that write.
    void Schedule();
    bool IsScheduled();

    // Takes the whole queue out (the set is left empty, still scheduled); not while a
    // write is in flight.
    Queue Take();
    // After a complete write: unschedules the space when nothing was queued or scheduled
    // since the write took the space's state.
    void WriteDone();

    // A write in flight takes the objects queued now: they stay at the front of the
    // queue (the collector still sees them) and their dirty flags are cleared, so that a
    // change made while the write goes on queues them again, behind. StartFlight runs
    // under the space lock; so does ForEachInFlight, which calls f(const IPersistablePtr&)
    // for each taken object.
    void StartFlight();
    template <class F>
    void ForEachInFlight(F&& f) const;
    // The write is done: the objects it took leave the queue, and the space is
    // unscheduled when nothing was queued or scheduled meanwhile (WriteDone).
    void EndFlight();
    // The write failed (under the space lock): every object it took and that was not
    // queued again meanwhile is dirty again, in front. Allocates nothing.
    void AbortFlight();

    // The collector's view: every queued object is a strong reference.
    void VisitDirtyObjects(IObjectVisitor& v);
    // Appends from's whole queue to to's (from is left empty); to is scheduled when it
    // received something. The objects of a write of from in flight are queued in to,
    // dirty again, and the flight ends with nothing of them (a failed write gives from
    // nothing back). Locks to's set, then from's.
    static void MoveDirtyObjects(DirtyObjectSet& from, DirtyObjectSet& to);

    // The objects queued (those of a write in flight not counted).
    int32_t Size();
    CriticalSection& Lock() { return m_lock; }

private:
    friend class DosWriter;
    void ScheduleLocked();
    // Under m_lock: ends a flight that failed or moved away; the taken objects not queued
    // again meanwhile are dirty and stay in front, the others (queued again behind) leave
    // their first place. Allocates nothing.
    void RequeueFlightLocked();

    PSpace* m_space;
    bool m_scheduled = false; // guarded by m_lock
    // Schedule was called since the last StartFlight: roots or deletions changed after
    // the write took them. Guarded by m_lock.
    bool m_scheduledSinceFlight = false;
    // The dirty objects, and in front of them the m_flight objects that a write in
    // flight took (an object of those queued again meanwhile is also further back).
    Queue m_queue;
    int32_t m_flight = 0;
    CriticalSection m_lock;
};

template <class F>
void DirtyObjectSet::ForEachInFlight(F&& f) const
{
    // Under the space lock nothing is queued or moved meanwhile; the collector only reads.
    Queue::Position it = m_queue.Begin();
    for (int32_t i = 0; i < m_flight; ++i, ++it) f(static_cast<const IPersistablePtr&>(*it));
}

} // namespace vorn
