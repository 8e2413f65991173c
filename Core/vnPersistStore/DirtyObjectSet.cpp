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

const DirtyObjectSet::Queue& DirtyObjectSet::StartFlight()
{
    CriticalSectionLock lock(m_lock);
    m_inFlight = std::move(m_queue);
    m_scheduledSinceFlight = false;
    for (const IPersistablePtr& p : m_inFlight) p.m_table->GetPersistObjState(p.m_object).m_flags &= ~uint32_t(POS_DIRTY);
    return m_inFlight;
}

void DirtyObjectSet::EndFlight()
{
    {
        CriticalSectionLock lock(m_lock);
        m_inFlight.Clear();
    }
    WriteDone();
}

void DirtyObjectSet::AbortFlight()
{
    CriticalSectionLock lock(m_lock);
    Queue again;
    for (const IPersistablePtr& p : m_inFlight) {
        PersistObjState& state = p.m_table->GetPersistObjState(p.m_object);
        if (state.m_flags & POS_DIRTY) continue; // queued again since
        state.m_flags |= POS_DIRTY;
        again.PushBack(p);
    }
    m_inFlight.Clear();
    if (!again.IsEmpty()) {
        again.Append(m_queue);
        m_queue = std::move(again);
    }
    ScheduleLocked();
}

void DirtyObjectSet::VisitDirtyObjects(IObjectVisitor& v)
{
    CriticalSectionLock lock(m_lock);
    for (const IPersistablePtr& p : m_queue) v.VisitStrong(p.Any());
    for (const IPersistablePtr& p : m_inFlight) v.VisitStrong(p.Any());
}

void DirtyObjectSet::MoveDirtyObjects(DirtyObjectSet& from, DirtyObjectSet& to)
{
    if (&from == &to) return;
    CriticalSectionLock lockTo(to.m_lock);
    CriticalSectionLock lockFrom(from.m_lock);
    // Objects of a write in flight go too, dirty again: whether that write commits or
    // not, to writes them, and from keeps nothing that now belongs to to's space.
    bool moved = false;
    for (const IPersistablePtr& p : from.m_inFlight) {
        PersistObjState& state = p.m_table->GetPersistObjState(p.m_object);
        if (state.m_flags & POS_DIRTY) continue; // queued again since, so in from's queue
        state.m_flags |= POS_DIRTY;
        to.m_queue.PushBack(p);
        moved = true;
    }
    from.m_inFlight.Clear();
    if (!from.m_queue.IsEmpty()) {
        to.m_queue.Append(from.m_queue);
        from.m_queue.Clear();
        moved = true;
    }
    if (moved) to.ScheduleLocked();
}

int32_t DirtyObjectSet::Size()
{
    CriticalSectionLock lock(m_lock);
    return m_queue.Size();
}

} // namespace vorn
