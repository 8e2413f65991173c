#include "vnPersistStore/DirtyObjectSet.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistStore.h"

namespace vorn {

void DirtyObjectSet::ScheduleLocked()
{
    if (m_scheduled) return;
    m_scheduled = true;
    if (PersistStore* store = m_space->GetWriteState().m_store) store->GetWriter().AddToDirtyList(m_space);
}

bool DirtyObjectSet::Add(IPersistablePtr object)
{
    PersistObjState& state = object.m_table->GetPersistObjState(object.m_object);
    if (state.m_flags & POS_DIRTY) return false;
    state.m_flags |= POS_DIRTY;
    CriticalSectionLock lock(m_lock);
    m_queue.PushBack(object);
    ScheduleLocked();
    return true;
}

void DirtyObjectSet::Schedule()
{
    CriticalSectionLock lock(m_lock);
    m_scheduledSinceFlight = true;
    ScheduleLocked();
}

bool DirtyObjectSet::IsScheduled()
{
    CriticalSectionLock lock(m_lock);
    return m_scheduled;
}

DirtyObjectSet::Queue DirtyObjectSet::Take()
{
    CriticalSectionLock lock(m_lock);
    return std::move(m_queue);
}

void DirtyObjectSet::WriteDone()
{
    CriticalSectionLock lock(m_lock);
    if (!m_queue.IsEmpty() || m_scheduledSinceFlight || !m_scheduled) return;
    m_scheduled = false;
    if (PersistStore* store = m_space->GetWriteState().m_store) store->GetWriter().RemoveFromDirtyList(m_space);
}

void DirtyObjectSet::StartFlight()
{
    CriticalSectionLock lock(m_lock);
    m_flight = m_queue.Size();
    m_scheduledSinceFlight = false;
    for (const IPersistablePtr& p : m_queue) p.m_table->GetPersistObjState(p.m_object).m_flags &= ~uint32_t(POS_DIRTY);
}

void DirtyObjectSet::EndFlight()
{
    {
        CriticalSectionLock lock(m_lock);
        // Erasing whole pages and moving entries within one allocates nothing.
        m_queue.EraseRange(m_queue.Begin(), m_queue.Advance(m_queue.Begin(), m_flight));
        m_flight = 0;
    }
    WriteDone();
}

void DirtyObjectSet::RequeueFlightLocked()
{
    if (m_flight == 0) return;
    // Compacts the taken objects in place: those queued again since are dropped here.
    Queue::Position to = m_queue.Begin();
    Queue::Position from = m_queue.Begin();
    for (int32_t i = 0; i < m_flight; ++i, ++from) {
        const IPersistablePtr p = *from;
        PersistObjState& state = p.m_table->GetPersistObjState(p.m_object);
        if (state.m_flags & POS_DIRTY) continue; // queued again since, further back
        state.m_flags |= POS_DIRTY;
        *to = p;
        ++to;
    }
    m_queue.EraseRange(to, from);
    m_flight = 0;
}

void DirtyObjectSet::AbortFlight()
{
    CriticalSectionLock lock(m_lock);
    RequeueFlightLocked();
    ScheduleLocked();
}

void DirtyObjectSet::VisitDirtyObjects(IObjectVisitor& v)
{
    CriticalSectionLock lock(m_lock);
    for (const IPersistablePtr& p : m_queue) v.VisitStrong(p.Any());
}

void DirtyObjectSet::MoveDirtyObjects(DirtyObjectSet& from, DirtyObjectSet& to)
{
    if (&from == &to) return;
    CriticalSectionLock lockTo(to.m_lock);
    CriticalSectionLock lockFrom(from.m_lock);
    // Objects of a write in flight go too, dirty again: whether that write commits or
    // not, to writes them, and from keeps nothing that now belongs to to's space.
    from.RequeueFlightLocked();
    if (from.m_queue.IsEmpty()) return;
    to.m_queue.Append(from.m_queue);
    from.m_queue.Clear();
    to.ScheduleLocked();
}

int32_t DirtyObjectSet::Size()
{
    CriticalSectionLock lock(m_lock);
    return m_queue.Size() - m_flight;
}

} // namespace vorn
