#include "vnPersistStore/PSpace.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjHeader.h"
#include "vnPersistStore/PersistExceptions.h"
#include <vector>

namespace vorn {

namespace {

thread_local PSpace* t_pspace = nullptr;

// What a binding hands out: a deleted object counts as absent.
IPersistablePtr Present(IPersistablePtr p)
{
    if (p.IsNull() || (p.m_table->GetPersistObjState(p.m_object).m_flags & POS_DELETED) != 0) return IPersistablePtr{};
    return p;
}

// Gives the not yet persistent targets of the prefs it visits OIDs near the referring
// object, and collects them so that their own prefs are traced next.
class AllocateOidsVisitor final : public IPrefVisitor {
public:
    AllocateOidsVisitor(PSpace& space, std::vector<IPersistablePtr>& pending) : m_space(space), m_pending(pending) {}
    void SetAffiliate(OidLow low) { m_affiliate = low; }
    void VisitPref(pref& p) override
    {
        const IPersistablePtr target = p.UnpersistedTarget();
        if (target.IsNull()) return;
        if (m_affiliate != 0) m_space.SetAffiliateOidLow(m_affiliate);
        m_space.MakeObjectPersistWithGivenOID(target, m_space.AllocateOid(), false);
        m_pending.push_back(target);
    }
private:
    PSpace& m_space;
    std::vector<IPersistablePtr>& m_pending;
    OidLow m_affiliate = 0;
};

} // namespace

PSpace* GetThreadPSpace() { return t_pspace; }
void SetThreadPSpace(PSpace* space) { t_pspace = space; }

PSpace* GetPSpaceOfCSpace(CSpace* cspace) { return cspace ? static_cast<PSpace*>(cspace->GetPtrSlotArray()[0]) : nullptr; }

PSpace* GetAssociatedPSpace(AnyInterface object)
{
    if (object.m_object == nullptr) return nullptr;
    return GetPSpaceOfCSpace(LoadOwner(SysStateOf(object)));
}

void OnGarbageCollectPersistable(AnyInterface object)
{
    const IPersistablePtr p = QueryPersistable(object);
    if (p.IsNull()) return;
    const OID oid = p.m_table->GetPersistObjState(p.m_object).m_oid;
    if (oid.IsNull()) return;
    if (PSpace* space = GetAssociatedPSpace(object)) space->GetResidentObjects().RemoveResident(oid, p.m_object);
}

PSpace::PSpace(ILogStructuredStore* lss, PersistSchema* schema, AsyncObjectLoader* loader, CSpace* cspace,
               const xstring& name, OID rootsOid, bool createdNew)
    : m_lss(lss), m_schema(schema), m_loader(loader), m_roots(rootsOid, createdNew), m_name(name),
      m_resident(this, loader), m_oidHigh(rootsOid.m_high), m_affiliateOidLow(rootsOid.m_low), m_cspace(cspace)
{
    m_name.c_str(); // terminated once here; the name never changes
    m_cspace->GetPtrSlotArray()[0] = this;
}

PSpace::~PSpace()
{
    m_resident.WaitForLoads();
    if (m_cspace->GetPtrSlotArray()[0] == this) m_cspace->GetPtrSlotArray()[0] = nullptr;
}

IPersistablePtr PSpace::TryBindObject(OID oid) { return Present(m_resident.Bind(oid)); }

IPersistablePtr PSpace::BindObject(OID oid)
{
    const IPersistablePtr p = TryBindObject(oid);
    if (p.IsNull()) throw DerefDanglingOidException(oid);
    return p;
}

IPersistablePtr PSpace::BindObjectIfMemoryResident(OID oid) { return Present(m_resident.FindResident(oid)); }

IPersistablePtr PSpace::AsyncBind(OID oid) { return Present(m_resident.AsyncBind(oid)); }

IPersistablePtr PSpace::MakeMemoryResident(OID oid) { return Present(m_resident.MakeMemoryResident(oid)); }

void PSpace::SetOidHighForOidAllocations(OidHigh oidHigh, bool useIncrementalOidAllocations)
{
    m_oidHigh = oidHigh;
    m_useIncrementalOidAllocation = useIncrementalOidAllocations;
}

OID PSpace::AllocateOid()
{
    if (m_useIncrementalOidAllocation) return OID(m_lss->AllocateSeid(m_oidHigh));
    Seid seid(m_affiliateOidLow, m_oidHigh);
    if (!m_lss->AllocateSeidNear(seid)) return OID(m_lss->AllocateSeid(m_oidHigh));
    return OID(seid);
}

void PSpace::MakeObjectPersist(OidLow affiliateOidLow, IPersistablePtr object)
{
    m_affiliateOidLow = affiliateOidLow;
    MakeObjectPersistWithGivenOID(object, AllocateOid(), false);
}

void PSpace::MakeObjectPersistWithGivenOID(IPersistablePtr object, OID oid, bool trace)
{
    m_resident.InsertResident(oid, object);
    PersistObjState& state = object.m_table->GetPersistObjState(object.m_object);
    state.m_oid = oid;
    m_writeState.m_dirty.Add(object);
    if (trace) MakeReachableObjectsPersist(object);
}

void PSpace::MakeReachableObjectsPersist(IPersistablePtr object)
{
    // An explicit work list rather than recursion: a long chain of new objects must not
    // exhaust the stack.
    std::vector<IPersistablePtr> pending{object};
    AllocateOidsVisitor visitor(*this, pending);
    while (!pending.empty()) {
        const IPersistablePtr next = pending.back();
        pending.pop_back();
        visitor.SetAffiliate(next.m_table->GetPersistObjState(next.m_object).m_oid.m_low);
        next.m_table->VisitPrefs(next.m_object, visitor);
    }
}

} // namespace vorn
