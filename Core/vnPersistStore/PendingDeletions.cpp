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

void PendingDeletions::SerialiseQueues(Archive& ar, const Queue& subTrees, const Queue& objects)
{
    ar.WriteCompressedUInt32(kPendingDeletionsSchema);
    SerialiseQueue(ar, subTrees);
    SerialiseQueue(ar, objects);
}

void PendingDeletions::Serialise(Archive& ar) const { SerialiseQueues(ar, m_pendingSubTrees, m_pendingObjects); }

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

bool PendingDeletions::DeleteNextBatch(PSpace& space, std::vector<OID>* damaged)
{
    RestoreThreadPSpace restoreP(&space);
    RestoreThreadCSpace restoreC(space.GetCSpace());
    CSpaceLock lock(space.GetCSpace());
    PendingDeletions& d = space.GetWriteState().m_deletions;
    if (!d.HasPending()) return false;

    // The batch takes every pending object and whole subtrees from the back; subtrees
    // that its walks meet are deferred to later batches. It builds the queues as they
    // are to be after it and puts them in place only once it has committed, so that a
    // failure leaves the queues as they were (and allocates nothing).
    std::vector<OID> batch;
    Queue subTrees = d.m_pendingSubTrees;
    std::vector<OID> deferred;
    std::vector<IPersistablePtr> reached;
    std::vector<OID> unbound; // left the queues: reported after the batch
    std::vector<OID> failedRoots;
    std::exception_ptr rootFailure;
    auto unreach = [&](size_t from) noexcept {
        for (size_t i = from; i < reached.size(); ++i)
            reached[i].m_table->GetPersistObjState(reached[i].m_object).m_flags &= ~uint32_t(POS_REACHED);
    };
    Queue after;
    try {
        bool dirty = d.m_dirty || !d.m_pendingObjects.IsEmpty();
        bool tookSubTree = false;
        for (const OID& oid : d.m_pendingObjects) batch.push_back(oid);
        std::vector<IPersistablePtr> stack;
        ObjectDeleterPrefVisitor visitor(space, deferred, batch, stack, reached, unbound);
        while (batch.size() < size_t(kBatchSize) && !subTrees.IsEmpty()) {
            const OID root = subTrees.Back();
            subTrees.PopBack();
            const size_t batchBefore = batch.size();
            const size_t deferredBefore = deferred.size();
            const size_t reachedBefore = reached.size();
            const size_t unboundBefore = unbound.size();
            try {
                // A damaged root leaves the queue once the batch has committed; when the
                // batch fails it stays, and a later batch reports it.
                const IPersistablePtr object = BindForDeletion(space, root, unbound);
                if (unbound.size() == unboundBefore) {
                    batch.push_back(root);
                    // A root that is gone already (deleted, or its element missing) is
                    // deleted.
                    if (!object.IsNull()) {
                        visitor.Reach(object);
                        stack.push_back(object);
                        while (!stack.empty()) {
                            const IPersistablePtr next = stack.back();
                            stack.pop_back();
                            next.m_table->VisitPrefs(next.m_object, visitor);
                        }
                    }
                }
                tookSubTree = true;
            } catch (const SystemException&) {
                throw; // the store itself: the whole batch fails
            } catch (...) {
                // This subtree failed for a reason of its own: its walk is undone and its
                // root stays queued, behind the others, while the rest of the batch goes
                // on. The failure is thrown once the batch has committed.
                if (!rootFailure) rootFailure = std::current_exception();
                stack.clear();
                batch.resize(batchBefore);
                deferred.resize(deferredBefore);
                unbound.resize(unboundBefore);
                unreach(reachedBefore);
                reached.resize(reachedBefore);
                failedRoots.push_back(root);
            }
        }
        // A batch all of whose subtrees failed, with nothing else to do, changes nothing
        // and commits nothing. Otherwise the subtrees left are those that failed first
        // (tried last), the rest, then the deferred ones.
        if (tookSubTree || (!failedRoots.empty() && !subTrees.IsEmpty())) dirty = true;
        for (auto it = failedRoots.rbegin(); it != failedRoots.rend(); ++it) after.PushBack(*it);
        after.Append(subTrees);
        for (const OID& oid : deferred) after.PushBack(oid);
        if (damaged) damaged->reserve(damaged->size() + unbound.size());
        RunInStoreTransaction(space.GetLss(), false, [&](ILssTransaction* txn) {
            // A missing element is as good as deleted.
            for (const OID& oid : batch) txn->DeleteSerialElement(oid.m_low, oid.m_high);
            if (dirty) {
                ICloseableOutputStream* stream = txn->WriteSerialElement(space.GetRoots().GetPendingDeletionsOid().m_low,
                                                                         space.GetRoots().GetPendingDeletionsOid().m_high);
                {
                    Archive ar(stream);
                    SerialiseQueues(ar, after, Queue());
                    ar.Flush();
                }
                stream->Close();
            }
        });
    } catch (...) {
        // Some deletions may have committed, but the queues' stored form is the one from
        // before the batch: everything stays, to be deleted again by a later batch.
        unreach(0);
        d.m_dirty = true;
        throw;
    }
    d.m_pendingSubTrees = std::move(after);
    d.m_pendingObjects.Clear();
    d.m_dirty = false;
    if (damaged) {
        damaged->insert(damaged->end(), unbound.begin(), unbound.end());
    } else if (!unbound.empty()) {
        throw DerefDanglingOidException(unbound.front());
    }
    if (rootFailure) std::rethrow_exception(rootFailure);
    return d.HasPending();
}

} // namespace vorn
