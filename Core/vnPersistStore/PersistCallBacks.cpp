#include "vnPersistStore/PersistCallBacks.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/SpaceOperations.h"
#include <cstring>

namespace vorn {

namespace {

PersistOperationCallbacks g_callbacks;

// The persistence test: the changed object's IPersistable interface and its space,
// or null when it is not persistent (or belongs to no space).
struct Changed {
    IPersistablePtr m_object;
    PSpace* m_space = nullptr;
    explicit operator bool() const { return m_space != nullptr; }
};

Changed Test(AnyInterface object)
{
    Changed c;
    const IPersistablePtr p = QueryPersistable(object);
    if (p.IsNull() || p.m_table->GetPersistObjState(p.m_object).m_oid.IsNull()) return c;
    c.m_space = GetAssociatedPSpace(object);
    if (c.m_space) c.m_object = p;
    return c;
}

OidLow OidLowOf(IPersistablePtr p) { return p.m_table->GetPersistObjState(p.m_object).m_oid.m_low; }

// Gives the not yet persistent targets of the visited prefs OIDs near an affiliate.
class AllocateOidsReachablePrefVisitor final : public IPrefVisitor {
public:
    AllocateOidsReachablePrefVisitor(PSpace& space, OidLow affiliate) : m_space(space), m_affiliate(affiliate) {}
    void VisitPref(pref& p) override
    {
        const IPersistablePtr target = p.UnpersistedTarget();
        if (target.IsNull()) return;
        m_space.SetAffiliateOidLow(m_affiliate);
        m_space.MakeObjectPersistWithGivenOID(target, m_space.AllocateOid(), true);
    }
private:
    PSpace& m_space;
    OidLow m_affiliate;
};

// Queues the subtree of every visited pref's object for permanent deletion. A null or
// dangling reference names nothing to delete; an object only cached without an OID
// was never stored.
class PermanentlyDeleteReachablePrefVisitor final : public IPrefVisitor {
public:
    explicit PermanentlyDeleteReachablePrefVisitor(PSpace& space) : m_space(space) {}
    void VisitPref(pref& p) override
    {
        const OID oid = p.GetOid();
        if (oid.IsNull()) return;
        m_space.GetWriteState().m_deletions.QueueSubTree(oid);
        m_space.GetWriteState().m_dirty.Schedule();
    }
private:
    PSpace& m_space;
};

void Visit(ValueVisitFunction f, IPrefVisitor& v, void* first, ssize_t stride, ssize_t count)
{
    if (f) f(&v, first, stride, count);
}

// Makes the cached object of each pref a persistent child of the changed object, and
// calls its OnCreate.
void DeclareChildren(const Changed& c, pref* prefs, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) {
        const IPersistablePtr child = prefs[i].GetCached();
        // Nothing to declare for a null or OID-only reference.
        if (child.IsNull()) continue;
        DeclareReachable(*c.m_space, c.m_object, child, true);
        child.m_table->OnCreate(child.m_object, true);
    }
}

// Queues the OIDs of a range of removed prefs as subtree deletions, without binding.
void QueueRemoved(const Changed& c, pref* prefs, ssize_t first, ssize_t count)
{
    for (ssize_t i = first; i < first + count; ++i) {
        const OID oid = prefs[i].GetOid();
        if (!oid.IsNull()) c.m_space->GetWriteState().m_deletions.QueueSubTree(oid);
    }
    c.m_space->GetWriteState().m_dirty.Schedule();
}

void MarkDirty(const Changed& c) { MarkPersistableAsDirtyWithoutTrace(*c.m_space, c.m_object); }

} // namespace

PersistOperationCallbacks* GetPersistOperationCallbacks() { return &g_callbacks; }

void PersistOperationCallbacks::OnFieldWrite(OperationRecord& op)
{
    const Changed c = Test(op.m_object);
    if (!c) return;
    if (op.m_visitFunction) {
        PSpace* thread = GetThreadPSpace();
        PermanentlyDeleteReachablePrefVisitor v(thread ? *thread : *c.m_space);
        Visit(op.m_visitFunction, v, op.m_visitArgument, 0, 1);
    }
    MarkDirty(c);
}

void PersistOperationCallbacks::OnValueCreated(ValueVisitRecord& op)
{
    const Changed c = Test(op.m_object);
    if (!c) return;
    AllocateOidsReachablePrefVisitor v(*c.m_space, OidLowOf(c.m_object));
    Visit(op.m_visitFunction, v, op.m_visitArgument, 0, 1);
}

void PersistOperationCallbacks::OnPrefAssign(PrefAssignRecord& op)
{
    auto* target = static_cast<pref*>(op.m_target);
    const auto* source = static_cast<const pref*>(op.m_source);
    const Changed c = Test(op.m_object);
    if (c) {
        // Assigning a pref the object it already names deletes nothing.
        pref incoming = *source;
        const bool same = (!target->GetCached().IsNull() && target->m_cached.m_object == incoming.m_cached.m_object) ||
                          (!target->GetOid().IsNull() && target->GetOid() == incoming.GetOid());
        // The old referent is queued by its OID, without binding it: a dangling
        // reference must not stop the assignment.
        if (!target->IsNull() && !same) {
            const OID old = target->GetOid();
            if (!old.IsNull()) {
                c.m_space->GetWriteState().m_deletions.QueueSubTree(old);
                c.m_space->GetWriteState().m_dirty.Schedule();
            }
        }
        const IPersistablePtr child = incoming.GetCached();
        if (!child.IsNull()) {
            DeclareReachable(*c.m_space, c.m_object, child, true);
            child.m_table->OnCreate(child.m_object, true);
        }
        MarkDirty(c);
    }
    if (op.m_target != op.m_source) std::memcpy(op.m_target, op.m_source, sizeof(pref));
}

bool PersistOperationCallbacks::OnObjectChange(AnyInterface object)
{
    const Changed c = Test(object);
    if (!c) return false;
    MarkDirty(c);
    return true;
}

void PersistOperationCallbacks::OnValueAdded(ValueVisitRecord& op)
{
    const Changed c = Test(op.m_object);
    if (!c) return;
    AllocateOidsReachablePrefVisitor v(*c.m_space, OidLowOf(c.m_object));
    Visit(op.m_visitFunction, v, op.m_visitArgument, ssize_t(op.m_extra1), ssize_t(op.m_extra2));
    MarkDirty(c);
}

void PersistOperationCallbacks::OnRangeRemoved(ArrayRangeRecord& op)
{
    const Changed c = Test(op.m_object);
    if (!c) return;
    if (op.m_visitFunction) {
        PSpace* thread = GetThreadPSpace();
        PermanentlyDeleteReachablePrefVisitor v(thread ? *thread : *c.m_space);
        Visit(op.m_visitFunction, v, static_cast<char*>(op.m_base) + op.m_first * op.m_stride, op.m_stride, op.m_count);
    }
    MarkDirty(c);
}

void PersistOperationCallbacks::OnPrefsAdded(PrefArrayRecord& op)
{
    const Changed c = Test(op.m_object);
    if (!c) return;
    DeclareChildren(c, static_cast<pref*>(op.m_prefs) + op.m_first, op.m_count);
    MarkDirty(c);
}

void PersistOperationCallbacks::OnPrefsRemoved(PrefArrayRecord& op)
{
    const Changed c = Test(op.m_object);
    if (!c) return;
    QueueRemoved(c, static_cast<pref*>(op.m_prefs), op.m_first, op.m_count);
    MarkDirty(c);
}

void PersistOperationCallbacks::OnPrefArrayCleared(PrefArrayRecord& op)
{
    const Changed c = Test(op.m_object);
    if (!c) return;
    QueueRemoved(c, static_cast<pref*>(op.m_prefs), 0, op.m_count);
    MarkDirty(c);
}

IPersistablePtr DerefPrefToObject(pref& p) { return p.Get(); }

void AllocateOidsReachableFromValue(AnyInterface object, ValueVisitFunction visit, void* value)
{
    if (visit == nullptr) return;
    const Changed c = Test(object);
    if (!c) return;
    AllocateOidsReachablePrefVisitor v(*c.m_space, OidLowOf(c.m_object));
    visit(&v, value, 0, 1);
}

} // namespace vorn
