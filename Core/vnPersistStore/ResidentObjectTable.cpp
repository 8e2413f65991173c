#include "vnPersistStore/ResidentObjectTable.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjHeader.h"
#include "vnPersistStore/AsyncObjectLoader.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include <vector>

namespace vorn {

namespace {

void DestroyObject(IPersistablePtr p)
{
    if (!p.IsNull()) p.Object().Destroy(p.m_object);
}

} // namespace

ResidentObjectTable::ResidentObjectTable(PSpace* space, AsyncObjectLoader* loader) : m_space(space), m_loader(loader) {}

CSpace* ResidentObjectTable::GetCSpace() const { return m_space->GetCSpace(); }

IPersistablePtr ResidentObjectTable::Bind(OID oid)
{
    auto it = m_map.find(oid);
    if (it == m_map.end()) {
        const IPersistablePtr p = LoadPersistentObject(m_space->GetLss(), m_space->GetSchema(), oid);
        if (!p.IsNull()) m_map.emplace(oid, Entry{p.m_object, p.m_table});
        return p;
    }
    if (!it->second.IsLoading()) return it->second.Object();

    // A background load of the object is under way: finish it here rather than wait.
    DGIndepNodeForAsyncPref* node = it->second.Node();
    IPersistablePtr p = TakeOverLoad(node);
    if (!p.IsNull()) {
        CSpace* cs = GetThreadCSpace();
        (cs ? cs : GetCSpace())->RegisterGcObject(p.Any());
    } else {
        try {
            p = LoadPersistentObject(m_space->GetLss(), m_space->GetSchema(), oid);
        } catch (...) {
            node->FailUnderSpaceLock();
            throw;
        }
        if (p.IsNull()) {
            node->FailUnderSpaceLock();
            return p;
        }
    }
    CompleteLoad(node, p);
    return p;
}

IPersistablePtr ResidentObjectTable::FindResident(OID oid) const
{
    auto it = m_map.find(oid);
    if (it == m_map.end() || it->second.IsLoading()) return IPersistablePtr{};
    return it->second.Object();
}

DGIndepNodeForAsyncPref* ResidentObjectTable::FindLoad(OID oid) const
{
    auto it = m_map.find(oid);
    return it != m_map.end() && it->second.IsLoading() ? it->second.Node() : nullptr;
}

IPersistablePtr ResidentObjectTable::AsyncBind(OID oid)
{
    auto it = m_map.find(oid);
    if (it != m_map.end() && !it->second.IsLoading()) return it->second.Object();
    if (m_failedLoads.count(oid) != 0) return IPersistablePtr{};
    DGState* graph = GetThreadDGState();
    DGDepNode* current = graph ? graph->GetCurrentNode() : nullptr;
    if (current == nullptr || (current->GetFlags() & DGBaseNode::DG_OBSERVED) == 0) return IPersistablePtr{};
    if (it != m_map.end()) {
        AddDependency(it->second.Node(), current);
        return IPersistablePtr{};
    }
    auto* node = new DGIndepNodeForAsyncPref(this, oid);
    m_map.emplace(oid, Entry{node, nullptr});
    AddDependency(node, current);
    m_loader->Request(node);
    return IPersistablePtr{};
}

IPersistablePtr ResidentObjectTable::MakeMemoryResident(OID oid)
{
    CSpace* target = GetCSpace();
    {
        CSpaceLock lock(target);
        if (IPersistablePtr p = FindResident(oid); !p.IsNull()) return p;
    }
    CSpace* temp = CreateCSpace(false, GCThreadFn{});
    RestoreThreadCSpace restore(temp);
    IPersistablePtr p;
    try {
        {
            CSpaceLock tempLock(temp);
            p = LoadPersistentObject(m_space->GetLss(), m_space->GetSchema(), oid);
        }
        CSpaceLock lock(target);
        if (temp->GetNumObjects() >= 1) {
            CSpaceLock tempLock(temp);
            TransferCSpace(temp, target);
        }
        if (!p.IsNull()) {
            auto it = m_map.find(oid);
            if (it == m_map.end()) {
                m_map.emplace(oid, Entry{p.m_object, p.m_table});
            } else if (!it->second.IsLoading()) {
                p = it->second.Object(); // bound meanwhile; the copy just read is garbage
            } else {
                DGIndepNodeForAsyncPref* node = it->second.Node();
                DestroyObject(TakeOverLoad(node));
                CompleteLoad(node, p);
            }
        }
    } catch (...) {
        temp->Destroy();
        throw;
    }
    temp->Destroy();
    return p;
}

void ResidentObjectTable::Merge(ResidentObjectTable& other)
{
    CSpace* source = other.GetCSpace();
    CSpaceLock lock(source);
    std::vector<DGIndepNodeForAsyncPref*> cancelled;
    for (auto& [oid, entry] : other.m_map) {
        if (entry.IsLoading()) {
            DGIndepNodeForAsyncPref* node = entry.Node();
            DestroyObject(other.TakeOverLoad(node));
            node->m_resolved = true;
            cancelled.push_back(node);
        } else {
            // A load of the same OID under way here ends with the merged object, so
            // that the loader's copy never lands over it.
            InsertResident(oid, entry.Object());
        }
    }
    other.m_map.clear();
    RestoreThreadCSpace restore(source);
    for (DGIndepNodeForAsyncPref* node : cancelled) node->SignalAndDetach();
}

void ResidentObjectTable::InsertResident(OID oid, IPersistablePtr object)
{
    auto it = m_map.find(oid);
    if (it == m_map.end()) {
        m_map.emplace(oid, Entry{object.m_object, object.m_table});
    } else if (!it->second.IsLoading()) {
        it->second = Entry{object.m_object, object.m_table};
    } else {
        DGIndepNodeForAsyncPref* node = it->second.Node();
        DestroyObject(TakeOverLoad(node));
        CompleteLoad(node, object);
    }
}

bool ResidentObjectTable::RemoveResident(OID oid, const void* object)
{
    auto it = m_map.find(oid);
    if (it == m_map.end() || it->second.IsLoading() || it->second.m_word0 != object) return false;
    m_map.erase(it);
    return true;
}

void ResidentObjectTable::CompleteLoad(DGIndepNodeForAsyncPref* node, IPersistablePtr object)
{
    auto it = m_map.find(node->m_oid);
    if (it != m_map.end() && it->second.m_word0 == node) it->second = Entry{object.m_object, object.m_table};
    else m_map.insert_or_assign(node->m_oid, Entry{object.m_object, object.m_table});
    node->m_resolved = true;
    RestoreThreadCSpace restore(GetCSpace());
    node->SignalAndDetach();
}

IPersistablePtr ResidentObjectTable::TakeOverLoad(DGIndepNodeForAsyncPref* node)
{
    CriticalSectionLock lock(StripeOf(node->m_oid));
    const IPersistablePtr p = node->m_object;
    node->m_object = IPersistablePtr{};
    node->m_cancelled.store(true, std::memory_order_release);
    return p;
}

void ResidentObjectTable::NodeCreated()
{
    CriticalSectionLock lock(m_loadLock);
    if (m_numLoads++ == 0) m_noLoads.Reset();
}

void ResidentObjectTable::NodeDestroyed()
{
    CriticalSectionLock lock(m_loadLock);
    if (--m_numLoads == 0) m_noLoads.Set();
}

void ResidentObjectTable::WaitForLoads()
{
    for (;;) {
        m_noLoads.Wait();
        // Passing through the lock makes sure the last node has left it.
        CriticalSectionLock lock(m_loadLock);
        if (m_numLoads == 0) return;
    }
}

int32_t ResidentObjectTable::GetNumLoads()
{
    CriticalSectionLock lock(m_loadLock);
    return m_numLoads;
}

} // namespace vorn
