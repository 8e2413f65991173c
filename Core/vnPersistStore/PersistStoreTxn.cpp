#include "vnPersistStore/PersistStoreTxn.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistCallBacks.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/ResidentObjectTable.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnUtils/Exceptions.h"
#include <vector>

namespace vorn {

namespace {
// The CSpace locks that OpenPSpaceTxn entered without a thread space, innermost last.
thread_local std::vector<CSpace*> t_bareTxnLocks;
// The space locks the thread holds through transactions (counting a transaction over
// spaces whose locks its caller holds as one): while there are any, its entries are
// nested and do not wait for the writer's turn.
thread_local int32_t t_txnLocks = 0;

// Enters the space's lock for a transaction: a fresh one waits behind the writer first.
void EnterForTxn(PersistStore* store, PSpace* space)
{
    if (t_txnLocks == 0) store->GetWriter().WaitForTurn(space);
    space->GetCSpace()->Lock();
    ++t_txnLocks;
}
} // namespace

PersistStoreTxn::PersistStoreTxn(PersistStore* store, const PSpaceLockPair* pairs, int32_t count, bool callerLocks)
    : m_previousCallbacks(GetThreadIOperationCallBacks()), m_store(store)
{
    for (int32_t i = 0; i < count; ++i) {
        m_pairs.push_back(pairs[i]);
        if (pairs[i].m_mode == PSPACE_LOCK_EXCLUSIVE) m_exclusive = true;
    }
    if (m_exclusive)
        for (int32_t i = 1; i < count; ++i) store->GetWriter().LinkWriteGroup(pairs[0].m_space, pairs[i].m_space);
    SetThreadIOperationCallBacks(GetPersistOperationCallbacks());
    // The caller holds the given spaces' locks: the thread is inside.
    if (callerLocks && count > 0) {
        m_callerLocks = true;
        ++t_txnLocks;
    }
}

void PersistStoreTxn::Close() { End(nullptr); }

void PersistStoreTxn::End(CSpace* alsoLeave)
{
    for (CSpace* c : m_entered) {
        c->Unlock();
        --t_txnLocks;
    }
    m_entered.Clear();
    if (m_callerLocks) --t_txnLocks;
    SetThreadIOperationCallBacks(m_previousCallbacks);
    PersistStore* store = m_store;
    const xvector<PSpace*> held = std::move(m_held);
    delete this;
    if (alsoLeave) {
        alsoLeave->Unlock();
        --t_txnLocks;
    }
    // With no lock of the transaction's held: a release may finish a close.
    std::exception_ptr first;
    for (PSpace* space : held) {
        try {
            store->ReleasePSpace(space);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

PSpace* PersistStoreTxn::OpenPSpace(const char* name, EOpenMode openMode, bool* createdNew, CSpace* cspace)
{
    // Room for the hold and the entered lock first: once the lock is entered nothing
    // fails, and a failed open leaves the transaction as it was.
    CSpace* const previous = m_entered.IsEmpty() ? nullptr : m_entered.Back();
    m_held.push_back(nullptr);
    PSpace* space;
    try {
        m_entered.PushBack(nullptr);
        try {
            space = m_store->OpenPSpace(name, openMode, createdNew, cspace);
        } catch (...) {
            m_entered.PopBack();
            throw;
        }
    } catch (...) {
        m_held.pop_back();
        throw;
    }
    m_store->HoldPSpace(space);
    m_held.back() = space;
    EnterForTxn(m_store, space);
    m_entered.Back() = space->GetCSpace();
    DosWriter& writer = m_store->GetWriter();
    if (previous) {
        writer.LinkWriteGroup(GetPSpaceOfCSpace(previous), space);
    } else if (m_exclusive) {
        if (!m_pairs.empty()) writer.LinkWriteGroup(m_pairs[0].m_space, space);
    } else {
        m_exclusive = true;
        for (const PSpaceLockPair& p : m_pairs) writer.LinkWriteGroup(p.m_space, space);
    }
    return space;
}

void PersistStoreTxn::TransferPSpace(PSpace* destination, PSpace* source)
{
    if (destination == source) return;
    CSpace* from = source->GetCSpace();
    // The collector gives up a pass that waits for the source's lock, which the caller
    // holds, so stopping it here cannot wait on this thread.
    const bool collecting = from->IsGcRunning();
    from->StopGc();
    // The source keeps a space-root object of its own: the old one leaves with the moved
    // objects, detached, and so reaches nothing and is collected in the destination.
    DetachSpaceRootObject(*source);
    TransferCSpace(from, destination->GetCSpace());
    DirtyObjectSet::MoveDirtyObjects(source->GetWriteState().m_dirty, destination->GetWriteState().m_dirty);
    destination->GetResidentObjects().Merge(source->GetResidentObjects());
    destination->GetWriteState().m_deletions.TakeOverDeletions(source->GetWriteState().m_deletions);
    if (!source->GetRoots().GetMap().empty()) source->GetRoots().Clear();
    // Both spaces have changes to write: the moved objects, the taken-over deletions
    // and the emptied roots.
    destination->GetWriteState().m_dirty.Schedule();
    if (source->GetRoots().IsDirty() || source->GetWriteState().m_deletions.IsDirty())
        source->GetWriteState().m_dirty.Schedule();
    // The source stays open and usable, empty.
    CreateSpaceRootObject(*source);
    if (collecting) from->StartGc();
}

PersistStoreTxn* OpenPSpaceTxn(PSpaceLockMode mode)
{
    PSpace* space = GetThreadPSpace();
    if (space == nullptr) {
        CSpace* c = GetThreadCSpace();
        if (c == nullptr) throw ProgrammingErrorException(xstring("a space transaction needs a thread space"));
        t_bareTxnLocks.push_back(c); // room first: entering the lock is the last step
        c->Lock();
        ++t_txnLocks;
        return nullptr;
    }
    PersistStore* store = space->GetWriteState().m_store;
    if (store == nullptr) throw ProgrammingErrorException(xstring("the thread space belongs to no store"));
    // Everything that may fail comes before the hold and the lock.
    const PSpaceLockPair pair{space, mode};
    PersistStoreTxn* txn = new PersistStoreTxn(store, &pair, 1, false);
    try {
        txn->m_held.push_back(nullptr);
    } catch (...) {
        txn->Close();
        throw;
    }
    store->HoldPSpace(space);
    txn->m_held.back() = space;
    EnterForTxn(store, space);
    txn->m_spaceTxnLock = space->GetCSpace();
    return txn;
}

void ClosePSpaceTxn(PersistStoreTxn* txn)
{
    if (txn == nullptr) {
        if (t_bareTxnLocks.empty()) throw ProgrammingErrorException(xstring("no space transaction to close"));
        CSpace* c = t_bareTxnLocks.back();
        t_bareTxnLocks.pop_back();
        c->Unlock();
        --t_txnLocks;
        return;
    }
    txn->End(txn->m_spaceTxnLock);
}

PSpace* OpenPSpace(PersistStore* store, const char* name, CSpace* cspace)
{
    PersistStoreTxn* txn = store->OpenTxn(nullptr, 0);
    PSpace* space;
    try {
        space = txn->OpenPSpace(name, OM_OPEN_ALWAYS, nullptr, cspace);
    } catch (...) {
        txn->Close();
        throw;
    }
    txn->Close();
    return space;
}

} // namespace vorn
