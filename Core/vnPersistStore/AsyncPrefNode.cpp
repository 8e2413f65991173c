#include "vnPersistStore/AsyncPrefNode.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/ResidentObjectTable.h"
#include "vnUtils/Trace.h"

namespace vorn {

DGIndepNodeForAsyncPref::DGIndepNodeForAsyncPref(ResidentObjectTable* table, OID oid) : m_table(table), m_oid(oid)
{
    m_table->NodeCreated();
}

DGIndepNodeForAsyncPref::~DGIndepNodeForAsyncPref()
{
    if (m_element) ReleaseElementNoThrow(m_element);
    if (!m_object.IsNull()) m_object.Object().Destroy(m_object.m_object);
    m_table->NodeDestroyed();
}

bool DGIndepNodeForAsyncPref::HasDeserialisedObject()
{
    CriticalSectionLock lock(m_table->StripeOf(m_oid));
    return !m_object.IsNull();
}

void DGIndepNodeForAsyncPref::Release() noexcept
{
    if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void DGIndepNodeForAsyncPref::Abandon()
{
    m_cancelled.store(true, std::memory_order_release);
    auto& map = m_table->m_map;
    if (auto it = map.find(m_oid); it != map.end() && it->second.m_word0 == this) map.erase(it);
    m_resolved = true;
}

void DGIndepNodeForAsyncPref::NoDependentsLeft()
{
    if (!m_resolved) Abandon();
    Release();
}

void DGIndepNodeForAsyncPref::FailUnderSpaceLock(const xstring* failure)
{
    if (m_resolved) return;
    Abandon();
    // Not loaded again: a damaged element would fail every time it is asked for.
    if (failure && m_table->m_failedLoads.insert(m_oid).second && m_table->m_failedLoads.size() == 1)
        m_table->m_firstLoadFailure = *failure;
    // The last edge drops the graph's reference, which may be the last one: hold another
    // while the edges go.
    m_refs.fetch_add(1, std::memory_order_relaxed);
    {
        RestoreThreadCSpace restore(m_table->GetCSpace());
        if (failure) {
            // The evaluations run once more and find the object missing for good (a
            // viewer repaints, and can say so), without asking for it again.
            SignalAndDetach();
        } else {
            // A binder took the load over: detach without invalidating; the evaluations
            // keep what they drew meanwhile and ask again the next time they run.
            while (m_dependents != nullptr) RemoveEdge(m_dependents);
        }
    }
    Release();
}

void DGIndepNodeForAsyncPref::LoadFromStore() noexcept
{
    if (IsCancelled()) {
        Release();
        return;
    }
    PSpace* space = m_table->GetSpace();
    IPersistablePtr object;
    bool failed = false;
    xstring failure;
    try {
        m_element = space->GetLss()->GetContiguousSerialElement(m_oid.AsSeid());
        if (m_element == nullptr) throw DerefDanglingOidException(m_oid);
        if (!IsCancelled()) {
            int64_t length = 0;
            const uint8_t* buffer = m_element->GetBuffer(length);
            ReadPersistentObject(InputArchive(buffer, size_t(length)), space->GetSchema(), false, object);
            if (object.IsNull()) ThrowDeserialisationException("Bad object record : class id 0 under an OID");
            object.m_table->GetPersistObjState(object.m_object).m_oid = m_oid;
        }
    } catch (const IException& e) {
        failure = e.Describe();
        failed = true;
    } catch (...) {
        failure = xstring("unknown failure");
        failed = true;
    }
    if (failed) {
        TraceStream ts;
        ts << "AsyncObjectLoader : loading " << m_oid << " failed : " << failure << '\n';
    }
    // The element goes as soon as it has been read: the store refuses to write an
    // element that is being read.
    if (IContiguousSerialElement* element = m_element) {
        m_element = nullptr;
        ReleaseElementNoThrow(element);
    }

    CSpace* cs = m_table->GetCSpace();
    if (failed) {
        CSpaceLock lock(cs);
        FailUnderSpaceLock(&failure);
    } else if (!object.IsNull()) {
        bool drop;
        {
            CriticalSectionLock lock(m_table->StripeOf(m_oid));
            drop = IsCancelled();
            if (!drop) m_object = object;
        }
        if (drop) {
            object.Object().Destroy(object.m_object);
        } else {
            CSpaceLock lock(cs);
            IPersistablePtr mine;
            {
                CriticalSectionLock stripe(m_table->StripeOf(m_oid));
                mine = m_object;
                m_object = IPersistablePtr{};
            }
            if (!mine.IsNull()) {
                if (!m_resolved) {
                    cs->RegisterGcObject(mine.Any());
                    m_table->CompleteLoad(this, mine);
                } else {
                    mine.Object().Destroy(mine.m_object);
                }
            }
        }
    }
    Release();
}

} // namespace vorn
