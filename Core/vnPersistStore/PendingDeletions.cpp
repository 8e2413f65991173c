#include "vnPersistStore/PendingDeletions.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistStoreLayout.h"
#include "vnPersistStore/Pref.h"
#include "vnPersistStore/StoreTransaction.h"
#include "vnUtils/Exceptions.h"
#include <vector>

namespace vorn {

namespace {

void MoveAll(PagedDeque<OID>& from, PagedDeque<OID>& to)
{
    if (from.IsEmpty()) return;
    to.Append(from);
    from.Clear();
}

void SerialiseQueue(Archive& ar, const PagedDeque<OID>& q)
{
    ar.WriteCompressedUInt32(uint32_t(q.Size()));
    for (const OID& oid : q) WriteOid(ar, oid);
}

InputArchive DeserialiseQueue(InputArchive in, PagedDeque<OID>& q)
{
    uint32_t count;
    in = ReadCompressedUInt32FromBuffer(in, count);
    // Every stored OID takes at least one byte.
    if (count > in.Remaining()) ThrowDeserialisationException("Bad pending deletions record : count beyond the record");
    for (uint32_t i = 0; i < count; ++i) {
        OID oid;
        in = ReadOid(in, oid);
        if (oid.IsNull()) ThrowDeserialisationException("Bad pending deletions record : a null OID");
        q.PushBack(oid);
    }
    return in;
}

// Binds an OID of a deletion walk. An element that the store reports damaged (its
// bytes are no readable object) gives null, with its OID noted in unbound: it can
// never be deleted through its object, so it leaves the queues and is reported. Any
// other failure (of the store, of memory, a class not registered yet) goes on, so that
// the batch is put back and tried again.
IPersistablePtr BindForDeletion(PSpace& space, OID oid, std::vector<OID>& unbound)
{
    try {
        return space.TryBindObject(oid);
    } catch (const DeserialisationException&) {
    } catch (const CorruptLSSException&) {
    } catch (const BadCidException&) {
    }
    unbound.push_back(oid);
    return IPersistablePtr{};
}

// Walks from an object through its prefs, marking what it reaches; objects that
// represent a subtree of their own are deferred to a later batch. Every object whose
// reached flag the walk sets is noted, so that a batch that fails can clear them.
class ObjectDeleterPrefVisitor final : public IPrefVisitor {
public:
    ObjectDeleterPrefVisitor(PSpace& space, std::vector<OID>& deferred, std::vector<OID>& batch,
                             std::vector<IPersistablePtr>& stack, std::vector<IPersistablePtr>& reached,
                             std::vector<OID>& unbound)
        : m_space(space), m_deferred(deferred), m_batch(batch), m_stack(stack), m_reached(reached), m_unbound(unbound) {}
    // Sets the object's reached flag; false when it was set already.
    bool Reach(IPersistablePtr object)
    {
        PersistObjState& state = object.m_table->GetPersistObjState(object.m_object);
        if (state.m_flags & POS_REACHED) return false;
        state.m_flags |= POS_REACHED;
        m_reached.push_back(object);
        return true;
    }
    void VisitPref(pref& p) override
    {
        // A dangling reference names nothing left to delete.
        IPersistablePtr object = p.GetCached();
        if (object.IsNull()) {
            const OID oid = p.GetOid();
            if (oid.IsNull()) return;
            object = BindForDeletion(m_space, oid, m_unbound);
            if (object.IsNull()) return;
        }
        if (!Reach(object)) return;
        const OID oid = object.m_table->GetPersistObjState(object.m_object).m_oid;
        if (object.m_table->RepresentsSubTree(object.m_object)) {
            if (!oid.IsNull()) m_deferred.push_back(oid);
            return;
        }
        m_stack.push_back(object);
        if (!oid.IsNull()) m_batch.push_back(oid);
    }
private:
    PSpace& m_space;
    std::vector<OID>& m_deferred;
    std::vector<OID>& m_batch;
    std::vector<IPersistablePtr>& m_stack;
    std::vector<IPersistablePtr>& m_reached;
    std::vector<OID>& m_unbound;
};

} // namespace

bool PendingDeletions::MergeIncomingDeletions()
{
    if (!HasIncoming()) return false;
    m_dirty = true;
    MoveAll(m_incomingSubTrees, m_pendingSubTrees);
    MoveAll(m_incomingObjects, m_pendingObjects);
    return true;
}

void PendingDeletions::Serialise(Archive& ar) const
{
    ar.WriteCompressedUInt32(kPendingDeletionsSchema);
    SerialiseQueue(ar, m_pendingSubTrees);
    SerialiseQueue(ar, m_pendingObjects);
}

InputArchive PendingDeletions::Deserialise(InputArchive in)
{
    int schema;
    in = ReadSchema(in, kPendingDeletionsSchema, schema);
    Queue subTrees, objects;
    in = DeserialiseQueue(in, subTrees);
    in = DeserialiseQueue(in, objects);
    m_pendingSubTrees = std::move(subTrees);
    m_pendingObjects = std::move(objects);
    return in;
}

void PendingDeletions::WritePendingDeletions(ILssTransaction* txn, OID oid)
{
    ICloseableOutputStream* stream = txn->WriteSerialElement(oid.m_low, oid.m_high);
    {
        Archive ar(stream);
        Serialise(ar);
        ar.Flush();
    }
    m_dirty = false;
    stream->Close();
}

void PendingDeletions::LoadPendingDeletions(ILogStructuredStore* lss, OID oid)
{
    if (!ReadSerialElement(lss, oid.AsSeid(), [&](InputArchive in) { Deserialise(in); }))
        throw DerefDanglingOidException(oid);
}

void PendingDeletions::TakeOverDeletions(PendingDeletions& from)
{
    if (&from == this) return;
    if (from.HasPending()) {
        MoveAll(from.m_pendingSubTrees, m_incomingSubTrees);
        MoveAll(from.m_pendingObjects, m_incomingObjects);
        from.m_dirty = true;
    }
    MoveAll(from.m_incomingSubTrees, m_incomingSubTrees);
    MoveAll(from.m_incomingObjects, m_incomingObjects);
}

bool PendingDeletions::DeleteNextBatch(PSpace& space)
{
    RestoreThreadPSpace restoreP(&space);
    RestoreThreadCSpace restoreC(space.GetCSpace());
    CSpaceLock lock(space.GetCSpace());
    PendingDeletions& d = space.GetWriteState().m_deletions;
    if (!d.HasPending()) return false;

    // The batch takes every pending object and whole subtrees from the back; subtrees
    // that its walks meet are deferred to later batches. What it took is kept until the
    // batch has committed, so that a failure puts every OID back where it was.
    std::vector<OID> batch;
    Queue takenObjects = std::move(d.m_pendingObjects);
    std::vector<OID> takenRoots;
    std::vector<OID> deferred;
    std::vector<IPersistablePtr> reached;
    std::vector<OID> unbound; // left the queues: reported after the batch
    bool deferredQueued = false;
    try {
        bool dirty = d.m_dirty;
        if (!takenObjects.IsEmpty()) {
            dirty = true;
            for (const OID& oid : takenObjects) batch.push_back(oid);
        }
        std::vector<IPersistablePtr> stack;
        ObjectDeleterPrefVisitor visitor(space, deferred, batch, stack, reached, unbound);
        while (batch.size() < size_t(kBatchSize) && !d.m_pendingSubTrees.IsEmpty()) {
            dirty = true;
            const OID root = d.m_pendingSubTrees.Back();
            d.m_pendingSubTrees.PopBack();
            takenRoots.push_back(root);
            // A damaged root leaves the queue once the batch has committed; when the
            // batch fails it goes back with the rest, and a later batch reports it.
            const size_t unboundBefore = unbound.size();
            const IPersistablePtr object = BindForDeletion(space, root, unbound);
            if (unbound.size() != unboundBefore) continue;
            batch.push_back(root);
            // A root that is gone already (deleted, or its element missing) is deleted.
            if (object.IsNull()) continue;
            visitor.Reach(object);
            stack.push_back(object);
            while (!stack.empty()) {
                const IPersistablePtr next = stack.back();
                stack.pop_back();
                next.m_table->VisitPrefs(next.m_object, visitor);
            }
        }
        for (const OID& oid : deferred) d.m_pendingSubTrees.PushBack(oid);
        deferredQueued = true;
        if (!deferred.empty()) dirty = true;
        d.m_dirty = dirty;
        RunInStoreTransaction(space.GetLss(), false, [&](ILssTransaction* txn) {
            // A missing element is as good as deleted.
            for (const OID& oid : batch) txn->DeleteSerialElement(oid.m_low, oid.m_high);
            if (d.m_dirty) d.WritePendingDeletions(txn, space.GetRoots().GetPendingDeletionsOid());
        });
    } catch (...) {
        // Some deletions may have committed, but the queues' stored form is the one from
        // before the batch: everything goes back, to be deleted again by a later batch.
        if (deferredQueued)
            for (size_t i = 0; i < deferred.size(); ++i) d.m_pendingSubTrees.PopBack();
        for (auto it = takenRoots.rbegin(); it != takenRoots.rend(); ++it) d.m_pendingSubTrees.PushBack(*it);
        takenObjects.Append(d.m_pendingObjects);
        d.m_pendingObjects = std::move(takenObjects);
        for (const IPersistablePtr& p : reached) p.m_table->GetPersistObjState(p.m_object).m_flags &= ~uint32_t(POS_REACHED);
        d.m_dirty = true;
        throw;
    }
    if (!unbound.empty()) throw DerefDanglingOidException(unbound.front());
    return d.HasPending();
}

} // namespace vorn
