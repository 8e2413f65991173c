// vorn::PendingDeletions: the permanent deletions a persistent space still owes the
// store. Requests arrive in the incoming queues (subtrees, single objects); a
// write-back moves them to the pending queues, which are stored in the space's
// pending-deletions element so that the work resumes after the program ends; the
// writer thread then deletes them in batches of about ten objects.
//
// Stored form: schema 1; compressed count of pending subtrees, each OID; the same for
// pending objects. The incoming queues are not stored.
//
// Everything is changed under the space's CSpace lock.
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnPersistStore/Oid.h"
#include "vnUtils/PagedDeque.h"
#include <vector>

namespace vorn {

class PSpace;

class PendingDeletions {
public:
    using Queue = PagedDeque<OID>;
    static constexpr int32_t kBatchSize = 10;

    explicit PendingDeletions(bool dirty) : m_dirty(dirty) {}
    PendingDeletions(const PendingDeletions&) = delete;
    PendingDeletions& operator=(const PendingDeletions&) = delete;

    bool IsDirty() const { return m_dirty; }
    void SetDirty(bool dirty) { m_dirty = dirty; }
    bool HasIncoming() const { return !m_incomingSubTrees.IsEmpty() || !m_incomingObjects.IsEmpty(); }
    bool HasPending() const { return !m_pendingSubTrees.IsEmpty() || !m_pendingObjects.IsEmpty(); }
    const Queue& PendingSubTrees() const { return m_pendingSubTrees; }
    const Queue& PendingObjects() const { return m_pendingObjects; }

    void QueueSubTree(OID oid) { m_incomingSubTrees.PushBack(oid); }
    void QueueObject(OID oid) { m_incomingObjects.PushBack(oid); }

    // Moves the incoming requests behind the pending ones (the stored form is then out
    // of date). Returns whether it moved anything: the caller puts the space on the
    // writer's deletion list then.
    bool MergeIncomingDeletions();
    // Writes the element under oid and clears dirty.
    void WritePendingDeletions(ILssTransaction* txn, OID oid);
    // Reads the element; DerefDanglingOidException when the store lacks it,
    // DeserialisationException when it is damaged (the queues are unchanged then).
    void LoadPendingDeletions(ILogStructuredStore* lss, OID oid);
    // Takes over the work of another space: its pending and incoming requests become
    // incoming ones here; from is left empty (and dirty when it had pending ones).
    void TakeOverDeletions(PendingDeletions& from);

    void Serialise(Archive& ar) const;
    // The stored form of the given queues.
    static void SerialiseQueues(Archive& ar, const Queue& subTrees, const Queue& objects);
    InputArchive Deserialise(InputArchive in);

    // One batch of the writer thread for space (see the .cpp); the caller holds no
    // space lock. Returns whether work is left: the caller takes the space off the
    // writer's deletion list when none is. Subtrees that the batch's walks meet are
    // left to later batches. An OID whose element the store reports damaged
    // (DeserialisationException, CorruptLSSException or BadCidException while binding
    // it) leaves the queues undeleted and the rest of the batch is deleted; each such
    // OID is appended to *damaged when given, else DerefDanglingOidException names the
    // first. A subtree whose binding or walk fails otherwise (memory, a class not
    // registered yet, its own objects) stays queued, behind the others, while the rest
    // of the batch is deleted; that failure is thrown after. A failure of the store
    // (SystemException, or the commit) leaves every OID queued, damaged ones too, to be
    // tried by a later batch. A root whose element is missing is as good as deleted.
    static bool DeleteNextBatch(PSpace& space, std::vector<OID>* damaged = nullptr);

private:
    bool m_dirty;
    Queue m_incomingSubTrees;
    Queue m_pendingSubTrees;
    Queue m_incomingObjects;
    Queue m_pendingObjects;
};

} // namespace vorn
