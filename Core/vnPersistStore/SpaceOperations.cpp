#include "vnPersistStore/SpaceOperations.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjHeader.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"

namespace vorn {

// ---- the space root object -----------------------------------------------------------

class SpaceRootObject : public IObjectBaseMixin<SpaceRootObject> {
public:
    explicit SpaceRootObject(PSpace* space) : m_space(space) {}
    // IObject (the rest from IObjectBaseMixin); it answers no interface.
    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    const ReflectedClass* GetReflectedClass() const;
    void VisitObjects(IObjectVisitor& v)
    {
        if (m_space == nullptr) return;
        m_space->GetRoots().VisitObjects(v);
        m_space->GetWriteState().m_dirty.VisitDirtyObjects(v);
    }
    void DestroyObject()
    {
        if (m_space && m_space->GetWriteState().m_rootObject == this) m_space->GetWriteState().m_rootObject = nullptr;
        delete this;
    }

    PSpace* m_space;
};

namespace {
const ReflectedClass kSpaceRootClass = MakeClassRecord<SpaceRootObject>("vorn::PSpaceRootObject", 1, TypeOps{});
} // namespace

const ReflectedClass* SpaceRootObject::GetReflectedClass() const { return &kSpaceRootClass; }

SpaceRootObject* CreateSpaceRootObject(PSpace& space)
{
    auto* root = new SpaceRootObject(&space);
    space.GetWriteState().m_rootObject = root;
    space.GetCSpace()->RegisterGcObject(root->AsObject());
    space.GetCSpace()->AddGcRoot(root->AsObject());
    return root;
}

void DetachSpaceRootObject(PSpace& space)
{
    SpaceRootObject* root = space.GetWriteState().m_rootObject;
    if (root == nullptr) return;
    space.GetCSpace()->RemoveGcRoot(root->AsObject());
    root->m_space = nullptr;
    space.GetWriteState().m_rootObject = nullptr;
}

// ---- space operations ------------------------------------------------------------------

PersistStore* GetPersistStore(PSpace& space) { return space.GetWriteState().m_store; }

namespace {
PersistObjState& StateOf(IPersistablePtr p) { return p.m_table->GetPersistObjState(p.m_object); }
} // namespace

void MarkPersistableAsDirtyWithoutTrace(PSpace& space, IPersistablePtr object)
{
    if (object.IsNull() || StateOf(object).m_oid.IsNull()) return;
    space.GetWriteState().m_dirty.Add(object);
}

void DeclareReachable(PSpace& space, IPersistablePtr parent, IPersistablePtr child, bool trace)
{
    if (parent.IsNull() || child.IsNull()) return;
    const OID parentOid = StateOf(parent).m_oid;
    if (parentOid.IsNull() || !StateOf(child).m_oid.IsNull()) return;
    space.SetAffiliateOidLow(parentOid.m_low);
    space.MakeObjectPersistWithGivenOID(child, space.AllocateOid(), trace);
}

namespace {
void QueueDeletion(PSpace& space, IPersistablePtr object, bool subTree)
{
    if (object.IsNull()) return;
    const OID oid = StateOf(object).m_oid;
    if (oid.IsNull()) return;
    PendingDeletions& d = space.GetWriteState().m_deletions;
    if (subTree) d.QueueSubTree(oid);
    else d.QueueObject(oid);
    // Queued deletions reach the store with the next write-back, like a dirty object.
    space.GetWriteState().m_dirty.Schedule();
}
} // namespace

void AsyncPermanentlyDeleteSubTree(PSpace& space, IPersistablePtr object) { QueueDeletion(space, object, true); }
void AsyncPermanentlyDeleteObject(PSpace& space, IPersistablePtr object) { QueueDeletion(space, object, false); }

void SyncPermanentlyDeleteObject(PSpace& space, IPersistablePtr object)
{
    if (object.IsNull() || StateOf(object).m_oid.IsNull()) return;
    MarkPersistableAsDirtyWithoutTrace(space, object);
    StateOf(object).m_flags |= POS_DELETED;
}

void WriteDirtyObjectsToLss(PSpace& space, bool flushToDisk)
{
    PersistStore* store = space.GetWriteState().m_store;
    if (store == nullptr) return;
    store->GetWriter().WriteGroup(&space, flushToDisk);
    store->GetWriter().ThrowRecordedFailure();
}

AnyInterface BootstrapPSpaceRoot(const ReflectedClass* cls, const char* name)
{
    PersistStoreTxn* txn = OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE);
    AnyInterface result{nullptr, nullptr};
    try {
        PSpace* space = GetThreadPSpace();
        IPersistablePtr root = space ? space->GetRoot(name) : IPersistablePtr{};
        if (!root.IsNull()) {
            if (root.Object().GetReflectedClass(root.m_object) == cls) result = root.Any();
        } else if (cls->CanCreate()) {
            const AnyInterface created = cls->m_factory();
            GetThreadCSpace()->RegisterGcObject(created);
            const IPersistablePtr p = QueryPersistable(created);
            if (p.IsNull()) throw TypeMismatchException(cls, &kIPersistableInterface);
            p.m_table->OnCreate(p.m_object, true);
            if (space) space->AddRoot(name, created);
            result = p.Any();
        }
        if (result.m_object) GetThreadCSpace()->AddGcRoot(result);
    } catch (...) {
        ClosePSpaceTxn(txn);
        throw;
    }
    ClosePSpaceTxn(txn);
    return result;
}

// ---- global forms ----------------------------------------------------------------------

PersistStore* GetAssociatedPersistStore(AnyInterface object)
{
    PSpace* space = GetAssociatedPSpace(object);
    return space ? GetPersistStore(*space) : nullptr;
}

bool ObjectsBelongToDifferentPersistStores(AnyInterface a, AnyInterface b)
{
    return GetAssociatedPersistStore(a) != GetAssociatedPersistStore(b);
}

OID GetOid(AnyInterface object)
{
    const IPersistablePtr p = QueryPersistable(object);
    return p.IsNull() ? OID() : StateOf(p).m_oid;
}

void MarkPersistentAsDirtyWithoutTrace(AnyInterface object)
{
    if (PSpace* space = GetAssociatedPSpace(object)) MarkPersistableAsDirtyWithoutTrace(*space, QueryPersistable(object));
}

void DeclareReachable(AnyInterface parent, AnyInterface child, bool trace)
{
    if (PSpace* space = GetAssociatedPSpace(parent))
        DeclareReachable(*space, QueryPersistable(parent), QueryPersistable(child), trace);
}

void AsyncPermanentlyDeleteSubTree(AnyInterface object)
{
    if (PSpace* space = GetAssociatedPSpace(object)) AsyncPermanentlyDeleteSubTree(*space, QueryPersistable(object));
}

void AsyncPermanentlyDeleteObject(AnyInterface object)
{
    if (PSpace* space = GetAssociatedPSpace(object)) AsyncPermanentlyDeleteObject(*space, QueryPersistable(object));
}

void SyncPermanentlyDeleteSubTree(AnyInterface) {}

void SyncPermanentlyDeleteObject(AnyInterface object)
{
    if (PSpace* space = GetAssociatedPSpace(object)) SyncPermanentlyDeleteObject(*space, QueryPersistable(object));
}

IPersistablePtr BindObjectGivenOid(OID oid)
{
    PSpace* space = GetThreadPSpace();
    return space ? space->BindObject(oid) : IPersistablePtr{};
}

IPersistablePtr BindObjectInMemoryGivenOid(OID oid)
{
    PSpace* space = GetThreadPSpace();
    return space ? space->BindObjectIfMemoryResident(oid) : IPersistablePtr{};
}

IPersistablePtr AsyncBindObjectInMemoryGivenOid(OID oid)
{
    PSpace* space = GetThreadPSpace();
    return space ? space->AsyncBind(oid) : IPersistablePtr{};
}

IPersistablePtr TryBindObjectGivenOid(OID oid)
{
    PSpace* space = GetThreadPSpace();
    return space ? space->TryBindObject(oid) : IPersistablePtr{};
}

IPersistablePtr GetPSpaceRoot(const char* name)
{
    PSpace* space = GetThreadPSpace();
    return space ? space->GetRoot(name) : IPersistablePtr{};
}

bool AddPSpaceRoot(const char* name, AnyInterface object)
{
    PSpace* space = GetThreadPSpace();
    return space ? space->AddRoot(name, object) : false;
}

bool RemovePSpaceRoot(const char* name)
{
    PSpace* space = GetThreadPSpace();
    return space ? space->RemoveRoot(name) : false;
}

} // namespace vorn
