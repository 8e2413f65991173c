// vorn::PersistStoreTxn: a transaction over persistent spaces. While it is open the
// thread's operation callbacks are the persistence callbacks, so every change announced
// through reflection marks objects dirty and gives newly reachable objects OIDs. An
// exclusive transaction links its spaces into one write group, so that their changes
// reach the store together. Opening enters no space lock: the caller holds it (as
// OpenPSpaceTxn does), or the transaction enters the lock of a space it opens itself.
//
// Space transactions: OpenPSpaceTxn enters the thread space's CSpace lock (or, without
// a thread space, the thread CSpace's) and ClosePSpaceTxn leaves that same lock, even
// when the thread's current space changed meanwhile.
//
// A fresh transaction (the thread holds no space lock through a transaction yet) waits
// before it enters a space's lock while the writer's turn is announced on that space;
// entries nested in a transaction go on (DosWriter.h).
//
// A transaction holds every space whose lock it entered (PersistStore::HoldPSpace): a
// space closed inside it lives until the transaction has left its lock, and when that
// close was the last, the transaction's end finishes it (writes and frees the space,
// PersistStore::ClosePSpace) after leaving its locks. So end a transaction, like a
// close, without holding other space locks when a space may have been closed inside it.
#pragma once
#include "vnObject/LockGuard.h"
#include "vnPersistStore/PersistStore.h"
#include "vnReflection/OperationCallBacks.h"
#include "vnUtils/PagedDeque.h"
#include "vnUtils/XVector.h"

namespace vorn {

class PersistStoreTxn final : public ISpaceTxn {
public:
    // Leaves the locks of the spaces the transaction entered, in the order entered,
    // restores the thread's callbacks, frees the transaction and gives back its holds
    // (see the top; throws a failure of a close that this finishes).
    void Close() override;
    PersistStore* GetPersistStore() const { return m_store; }
    // Opens or creates the space (an open, given back by the space's Close), enters its
    // lock and adds it to the transaction, which holds it until it ends. Spaces are
    // entered in an order that every thread keeps (PersistStore.h, lock order).
    PSpace* OpenPSpace(const char* name, EOpenMode openMode, bool* createdNew, CSpace* cspace);
    // Moves source's content into destination; the caller holds both spaces' locks
    // (both are in this transaction). The source stays open, empty and usable: no
    // named roots, a collector root of its own and its collector running as before.
    void TransferPSpace(PSpace* destination, PSpace* source);
    bool DestroyPSpace() { return false; }
    bool IsExclusive() const { return m_exclusive; }

private:
    friend class PersistStore;
    friend PersistStoreTxn* OpenPSpaceTxn(PSpaceLockMode mode);
    friend void ClosePSpaceTxn(PersistStoreTxn* txn);
    // callerLocks: the caller holds the given spaces' locks (OpenTxn), not the
    // transaction (OpenPSpaceTxn, which enters its space's lock itself).
    PersistStoreTxn(PersistStore* store, const PSpaceLockPair* pairs, int32_t count, bool callerLocks = true);
    ~PersistStoreTxn() = default;
    // Close, leaving alsoLeave's lock too before the holds are given back.
    void End(CSpace* alsoLeave);

    IOperationCallBacks* m_previousCallbacks;
    PersistStore* m_store;
    bool m_exclusive = false;
    xvector<PSpaceLockPair> m_pairs;
    PagedDeque<CSpace*> m_entered;
    xvector<PSpace*> m_held; // the spaces the transaction holds, one entry per hold
    CSpace* m_spaceTxnLock = nullptr; // the lock OpenPSpaceTxn entered
    bool m_callerLocks = false;       // over spaces whose locks the caller holds
};

// A space transaction on the thread space (see above); null without a thread space.
PersistStoreTxn* OpenPSpaceTxn(PSpaceLockMode mode);
void ClosePSpaceTxn(PersistStoreTxn* txn);

// Opens or creates a space in a transaction of its own (OM_OPEN_ALWAYS); returns it
// with no lock held.
PSpace* OpenPSpace(PersistStore* store, const char* name, CSpace* cspace);

} // namespace vorn
