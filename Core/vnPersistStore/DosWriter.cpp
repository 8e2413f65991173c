#include "vnPersistStore/DosWriter.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjHeader.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/StoreTransaction.h"
#include "vnUtils/Streams.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <limits>
#include <chrono>
#include <thread>

namespace vorn {

namespace {

SpaceWriteState& StateOf(PSpace* s) { return s->GetWriteState(); }

// Bytes of serialised objects, gathered before anything is handed to the store.
using ByteSink = VectorOutputStream;

// One object of a write: its OID and either a deletion or its record's bytes.
struct ObjectWrite {
    OID m_oid;
    bool m_delete = false;
    size_t m_begin = 0;
    size_t m_end = 0;
};

// What a write takes from one space, serialised under the group's locks; given back
// when the write fails.
struct SpaceWrite {
    PSpace* m_space = nullptr;
    std::vector<ObjectWrite> m_objects;
    ByteSink m_bytes;
    ByteSink m_roots;     // the roots element, when it was dirty
    ByteSink m_deletions; // the pending-deletions element, when it was dirty
    bool m_rootsTaken = false;
    bool m_deletionsTaken = false;
    bool m_wasWritten = false;
    bool m_inFlight = false;
};

void WriteElement(ILssTransaction* txn, OID oid, const uint8_t* bytes, size_t n)
{
    ICloseableOutputStream* stream = txn->WriteSerialElement(oid.m_low, oid.m_high);
    stream->WriteStream(bytes, ssize_t(n));
    stream->Close();
}

// Serialises through an archive into a sink.
template <class F>
void SerialiseInto(ByteSink& sink, F&& write)
{
    Archive ar(&sink);
    write(ar);
    ar.Flush();
}

// The CSpaces of spaces, each once, in ascending address order.
std::vector<CSpace*> LockOrder(const std::vector<PSpace*>& spaces)
{
    std::vector<CSpace*> order;
    for (PSpace* s : spaces) order.push_back(s->GetCSpace());
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
    return order;
}

// Under the group's locks: takes and serialises what the space must write. Returns
// whether deletions were merged, so that the space belongs on the deletion list.
bool Snapshot(PSpace* space, SpaceWrite& w)
{
    w.m_space = space;
    SpaceWriteState& st = StateOf(space);
    RestoreThreadPSpace restoreP(space);
    RestoreThreadCSpace restoreC(space->GetCSpace());
    w.m_wasWritten = st.m_writtenByWriter;
    const bool merged = st.m_deletions.MergeIncomingDeletions();
    if (st.m_deletions.IsDirty()) {
        SerialiseInto(w.m_deletions, [&](Archive& ar) { st.m_deletions.Serialise(ar); });
        st.m_deletions.SetDirty(false);
        w.m_deletionsTaken = true;
    }
    PSpaceRoots& roots = space->GetRoots();
    if (roots.IsDirty()) {
        SerialiseInto(w.m_roots, [&](Archive& ar) { roots.Serialise(ar); });
        roots.SetDirty(false);
        w.m_rootsTaken = true;
    }
    st.m_dirty.StartFlight();
    w.m_inFlight = true;
    // Room for the records as large as they were last time, so that the bytes are
    // not copied again while the locks are held.
    size_t expected = 0;
    size_t count = 0;
    st.m_dirty.ForEachInFlight([&](const IPersistablePtr& p) {
        expected += size_t(LoadEvictableSize(SysStateOf(p.Any()))) + 16;
        ++count;
    });
    w.m_bytes.m_bytes.reserve(expected);
    w.m_objects.reserve(count);
    Archive ar(&w.m_bytes);
    st.m_dirty.ForEachInFlight([&](const IPersistablePtr& p) {
        const PersistObjState& state = p.m_table->GetPersistObjState(p.m_object);
        ObjectWrite ow;
        ow.m_oid = state.m_oid;
        if (state.m_flags & POS_DELETED) {
            ow.m_delete = true;
        } else {
            ar.Flush();
            ow.m_begin = w.m_bytes.m_bytes.size();
            WritePersistentObject(ar, space->GetSchema(), p);
            ar.Flush();
            ow.m_end = w.m_bytes.m_bytes.size();
        }
        w.m_objects.push_back(ow);
    });
    return merged;
}

// Gives the write state a failed write took back to its space (under the space's lock).
// Allocates nothing.
void GiveBack(SpaceWrite& w) noexcept
{
    if (w.m_space == nullptr) return;
    SpaceWriteState& st = StateOf(w.m_space);
    if (w.m_rootsTaken) w.m_space->GetRoots().SetDirty(true);
    if (w.m_deletionsTaken) st.m_deletions.SetDirty(true);
    st.m_writtenByWriter = w.m_wasWritten;
    if (w.m_inFlight) st.m_dirty.AbortFlight();
}

void TraceFailure(const char* what, std::exception_ptr e)
{
    TraceStream ts;
    ts << "Dirty Object Set Writer : " << what << " failed : " << DescribeException(e) << '\n';
}

} // namespace

DosWriter::~DosWriter() { Stop(); }

void DosWriter::Start()
{
    if (m_running.exchange(true)) return;
    m_stop.store(false);
    m_wake.Reset();
    try {
        m_thread.StartThread(this, THREAD_PRIORITY_NORMAL);
    } catch (...) {
        m_running.store(false);
        throw;
    }
}

void DosWriter::Stop()
{
    if (!m_running.load()) return;
    m_stop.store(true);
    m_wake.Set();
    m_thread.JoinThread();
    m_running.store(false);
}

int32_t DosWriter::GetPeriod()
{
    CriticalSectionLock lock(m_periodLock);
    return m_period;
}

void DosWriter::SetPeriod(int32_t ms)
{
    m_wake.Set();
    CriticalSectionLock lock(m_periodLock);
    m_period = ms;
}

// ---- lists and rings ---------------------------------------------------------------

bool DosWriter::SpaceList::Contains(PSpace* space) const
{
    return (StateOf(space).*m_links).m_prev != nullptr || m_first == space;
}

bool DosWriter::SpaceList::Append(PSpace* space)
{
    if (Contains(space)) return false;
    SpaceWriteState::ListLinks& l = StateOf(space).*m_links;
    l.m_next = nullptr;
    l.m_prev = m_last;
    if (m_last) (StateOf(m_last).*m_links).m_next = space;
    else m_first = space;
    m_last = space;
    ++m_count;
    return true;
}

bool DosWriter::SpaceList::Remove(PSpace* space)
{
    if (!Contains(space)) return false;
    SpaceWriteState::ListLinks& l = StateOf(space).*m_links;
    if (l.m_prev) (StateOf(l.m_prev).*m_links).m_next = l.m_next;
    else m_first = l.m_next;
    if (l.m_next) (StateOf(l.m_next).*m_links).m_prev = l.m_prev;
    else m_last = l.m_prev;
    l.m_prev = l.m_next = nullptr;
    --m_count;
    return true;
}

void DosWriter::AddToDirtyList(PSpace* space)
{
    CriticalSectionLock lock(m_dirtyLock);
    m_dirtyList.Append(space);
}

void DosWriter::RemoveFromDirtyList(PSpace* space)
{
    CriticalSectionLock lock(m_dirtyLock);
    m_dirtyList.Remove(space);
}

int32_t DosWriter::GetNumDirtySpaces()
{
    CriticalSectionLock lock(m_dirtyLock);
    return m_dirtyList.m_count;
}

void DosWriter::AddToDeletionList(PSpace* space)
{
    CriticalSectionLock lock(m_deletionLock);
    if (m_deletionList.Append(space)) m_wake.Set();
}

void DosWriter::RemoveFromDeletionList(PSpace* space)
{
    CriticalSectionLock lock(m_deletionLock);
    m_deletionList.Remove(space);
}

bool DosWriter::IsOnDeletionList(PSpace* space)
{
    CriticalSectionLock lock(m_deletionLock);
    return m_deletionList.Contains(space);
}

bool DosWriter::LinkWriteGroup(PSpace* a, PSpace* b)
{
    CriticalSectionLock lock(m_groupLock);
    if (a == b) return false;
    PSpace* last = a;
    for (PSpace* s = a;;) {
        if (s == b) return false;
        last = s;
        s = StateOf(s).m_groupNext;
        if (s == a) break;
    }
    StateOf(last).m_groupNext = StateOf(b).m_groupNext;
    StateOf(b).m_groupNext = a;
    return true;
}

void DosWriter::CollectWriteGroups(std::vector<PSpace*>& list)
{
    CriticalSectionLock lock(m_groupLock);
    // Room first (the rings counted, nothing changed yet), so that a failure leaves the
    // groups as they were.
    size_t members = list.size();
    for (PSpace* s : list)
        for (PSpace* m = StateOf(s).m_groupNext; m != s; m = StateOf(m).m_groupNext) ++members;
    list.reserve(members);
    for (PSpace* s : list) StateOf(s).m_visited = true;
    for (size_t i = 0; i < list.size(); ++i) {
        PSpace* s = list[i];
        while (StateOf(s).m_groupNext != s) {
            PSpace* next = StateOf(s).m_groupNext;
            StateOf(s).m_groupNext = s;
            if (!StateOf(next).m_visited) {
                StateOf(next).m_visited = true;
                list.push_back(next);
            }
            s = next;
        }
    }
    for (PSpace* s : list) StateOf(s).m_visited = false;
}

// ---- writing -----------------------------------------------------------------------

void DosWriter::RegisterSpace(PSpace* space)
{
    // Only the list lock: a space may be opened inside a transaction that holds space
    // locks, which the writer lock must precede.
    if (StateOf(space).m_deletions.HasPending()) AddToDeletionList(space);
}

void DosWriter::FlushIfAsked(bool flushToDisk)
{
    // A transaction without changes commits nothing but flushes the log.
    if (flushToDisk) RunInStoreTransaction(m_store->GetLss(), true, [](ILssTransaction*) {});
}

bool DosWriter::AnyScheduled(const std::vector<PSpace*>& group)
{
    for (PSpace* s : group)
        if (StateOf(s).m_dirty.IsScheduled()) return true;
    return false;
}

bool DosWriter::WaitHolding(CSpace* c, Clock::duration bound)
{
    if (bound <= Clock::duration::zero()) return false;
    m_heldWaitBoundNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(bound).count(), std::memory_order_relaxed);
    ReachedStage(WriteStage::HeldWait);
    if (m_lockWaiting.m_unboundedHeldWaits) {
        c->Lock();
        return true;
    }
    // The space lock has no timed wait: poll it, often enough to catch the short gaps
    // between a busy thread's transactions.
    const Clock::time_point deadline = Clock::now() + bound;
    for (;;) {
        if (c->TryLock()) return true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(kHeldWaitPoll, deadline - now));
    }
}

std::atomic<bool>& DosWriter::StateOfTurn(PSpace* space) { return StateOf(space).m_writersTurn; }

void DosWriter::WaitForTurnSlow(PSpace* space)
{
    std::atomic<bool>& turn = StateOf(space).m_writersTurn;
    std::unique_lock<std::mutex> lock(m_turnLock);
    ++m_waitingForTurn;
    m_turnEnded.wait(lock, [&] { return !turn.load(std::memory_order_acquire); });
    --m_waitingForTurn;
}

void DosWriter::SetTurn(const std::vector<PSpace*>& spaces, bool on) noexcept
{
    {
        std::lock_guard<std::mutex> lock(m_turnLock);
        for (PSpace* s : spaces) StateOf(s).m_writersTurn.store(on, std::memory_order_release);
    }
    if (!on) m_turnEnded.notify_all();
}

void DosWriter::HeldLocks::Leave() noexcept
{
    for (auto it = m_held.rbegin(); it != m_held.rend(); ++it) (*it)->Unlock();
    m_held.clear();
}

void DosWriter::LockGroup(const std::vector<CSpace*>& order, HeldLocks& held)
{
    // With its turn announced the writer never waits holding a lock.
    const int32_t missesBeforeHeldWaits =
        m_lockWaiting.m_announceTurn ? std::numeric_limits<int32_t>::max() : m_lockWaiting.m_missesBeforeHeldWaits;
    int32_t misses = 0;
    // How long a wait for one lock may last while others are held: none until enough
    // misses, then twice the longest wait seen for a missed lock, doubling per miss.
    Clock::duration bound = missesBeforeHeldWaits <= 0 ? kMinHeldWait : Clock::duration::zero();
    Clock::duration longestWait = Clock::duration::zero();
    size_t first = 0; // the lock waited for while none is held
    for (;;) {
        const Clock::time_point t = Clock::now();
        order[first]->Lock();
        longestWait = std::max(longestWait, Clock::now() - t);
        held.Add(order[first]);
        size_t missed = order.size();
        for (size_t i = 0; i < order.size(); ++i) {
            if (i == first) continue;
            if (!order[i]->TryLock() && !WaitHolding(order[i], bound)) {
                missed = i;
                break;
            }
            held.Add(order[i]);
        }
        if (missed == order.size()) return;
        held.Leave();
        ReachedStage(WriteStage::LockTaken);
        if (++misses >= missesBeforeHeldWaits) bound = std::max({2 * bound, 2 * longestWait, Clock::duration(kMinHeldWait)});
        first = missed;
    }
}

void DosWriter::RelinkWriteGroup(const std::vector<PSpace*>& group) noexcept
{
    for (size_t i = 1; i < group.size(); ++i) LinkWriteGroup(group[0], group[i]);
}

void DosWriter::LeaveWriteGroup(PSpace* space) noexcept
{
    CriticalSectionLock lock(m_groupLock);
    PSpace* before = space;
    while (StateOf(before).m_groupNext != space) before = StateOf(before).m_groupNext;
    StateOf(before).m_groupNext = StateOf(space).m_groupNext;
    StateOf(space).m_groupNext = space;
}

void DosWriter::WriteGroup(PSpace* space, bool flushToDisk)
{
    CriticalSectionLock writerLock(m_writerLock);
    std::vector<PSpace*> group{space};
    CollectWriteGroups(group);
    if (!AnyScheduled(group)) {
        FlushIfAsked(flushToDisk);
        return;
    }
    // From here on a failure links the group again (nothing in the catches allocates).
    try {
        WriteCollectedGroup(group, flushToDisk);
    } catch (...) {
        RelinkWriteGroup(group);
        throw;
    }
}

void DosWriter::WriteCollectedGroup(std::vector<PSpace*>& group, bool flushToDisk)
{
    ReachedStage(WriteStage::GroupCollected);

    // The group's locks are held while its state is taken and serialised, so that the
    // write is one consistent cut; the store sees the bytes after the locks are left.
    // Everything the write keeps is allocated while no lock is held.
    std::vector<SpaceWrite> writes;
    std::vector<CSpace*> order;
    HeldLocks locks;
    for (;;) {
        writes.clear();
        writes.resize(group.size());
        order = LockOrder(group);
        locks.Reserve(order.size());
        if (m_lockWaiting.m_announceTurn) {
            // Fresh transactions wait behind the writer until it holds the locks.
            SetTurn(group, true);
            try {
                ReachedStage(WriteStage::TurnAnnounced);
                LockGroup(order, locks);
            } catch (...) {
                SetTurn(group, false);
                throw;
            }
            SetTurn(group, false);
        } else {
            LockGroup(order, locks);
        }
        const size_t before = group.size();
        CollectWriteGroups(group);
        if (group.size() == before) break;
        locks.Leave();
        ReachedStage(WriteStage::Regrouped);
    }
    const Clock::time_point start = Clock::now();
    // Everything is serialised before the store sees a byte: a class whose Serialise
    // throws leaves no truncated element and no partial group behind.
    try {
        // Merged deletions stay pending whatever becomes of the write.
        for (size_t i = 0; i < group.size(); ++i)
            if (Snapshot(group[i], writes[i])) AddToDeletionList(group[i]);
    } catch (...) {
        for (SpaceWrite& w : writes) GiveBack(w);
        throw; // the locks are left on the way out
    }
    locks.Leave();
    NoteLockHold(Clock::now() - start);
    ReachedStage(WriteStage::LocksLeft);

    // The schema may gain entries at any time (no space lock guards it): only what
    // this transaction wrote of it is marked dirty again when the commit fails.
    bool schemaWritten = false;
    try {
        RunInStoreTransaction(m_store->GetLss(), flushToDisk, [&](ILssTransaction* txn) {
            for (SpaceWrite& w : writes) {
                PSpace* space = w.m_space;
                const std::vector<uint8_t>& d = w.m_deletions.m_bytes;
                if (w.m_deletionsTaken) WriteElement(txn, space->GetRoots().GetPendingDeletionsOid(), d.data(), d.size());
                const std::vector<uint8_t>& r = w.m_roots.m_bytes;
                if (w.m_rootsTaken) WriteElement(txn, space->GetRoots().GetOwnOid(), r.data(), r.size());
                for (const ObjectWrite& ow : w.m_objects) {
                    if (ow.m_delete) txn->DeleteSerialElement(ow.m_oid.m_low, ow.m_oid.m_high);
                    else WriteElement(txn, ow.m_oid, w.m_bytes.m_bytes.data() + ow.m_begin, ow.m_end - ow.m_begin);
                }
                SpaceWriteState& st = StateOf(space);
                if (!st.m_writtenByWriter) {
                    st.m_writtenByWriter = true;
                    m_store->MarkPersisted(space);
                }
            }
            schemaWritten = m_store->WriteSchemaElement(txn);
            m_store->WriteRegistryElement(txn);
        });
    } catch (...) {
        if (schemaWritten) m_store->GetSchema().m_dirty.store(true);
        m_store->MarkStoreElementsDirty();
        // The same locks again: room for them is there already.
        LockGroup(order, locks);
        for (SpaceWrite& w : writes) GiveBack(w);
        throw;
    }
    for (SpaceWrite& w : writes) StateOf(w.m_space).m_dirty.EndFlight();
}

void DosWriter::NoteLockHold(Clock::duration held) noexcept
{
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(held).count();
    m_totalHoldNs.fetch_add(ns, std::memory_order_relaxed);
    m_holds.fetch_add(1, std::memory_order_relaxed);
    int64_t longest = m_longestHoldNs.load(std::memory_order_relaxed);
    while (ns > longest && !m_longestHoldNs.compare_exchange_weak(longest, ns, std::memory_order_relaxed)) {
    }
}

void DosWriter::WriteAll(bool flushToDisk)
{
    CriticalSectionLock writerLock(m_writerLock);
    std::vector<PSpace*> spaces;
    {
        CriticalSectionLock lock(m_dirtyLock);
        for (PSpace* s = m_dirtyList.m_first; s != nullptr; s = StateOf(s).m_dirtyLinks.m_next) spaces.push_back(s);
    }
    if (spaces.empty()) {
        FlushIfAsked(flushToDisk);
        return;
    }
    std::exception_ptr first;
    for (PSpace* s : spaces) {
        try {
            WriteGroup(s, flushToDisk);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

bool DosWriter::ForgetSpace(PSpace* space, const std::function<bool()>& stillClosing)
{
    CriticalSectionLock writerLock(m_writerLock);
    std::exception_ptr failure;
    try {
        WriteGroup(space, false);
    } catch (...) {
        failure = std::current_exception();
    }
    const bool closing = stillClosing();
    if (closing) {
        // Decided: nothing from here on may fail.
        LeaveWriteGroup(space);
        RemoveFromDeletionList(space);
        RemoveFromDirtyList(space);
    }
    if (failure) std::rethrow_exception(failure);
    return closing;
}

bool DosWriter::DoDeletionStep(std::vector<OID>* damaged)
{
    CriticalSectionLock writerLock(m_writerLock);
    PSpace* space;
    {
        CriticalSectionLock lock(m_deletionLock);
        space = m_deletionList.m_first;
    }
    if (space == nullptr) return false;
    std::exception_ptr failure;
    bool left;
    try {
        left = PendingDeletions::DeleteNextBatch(*space, damaged);
    } catch (...) {
        failure = std::current_exception();
        CSpaceLock lock(space->GetCSpace());
        left = StateOf(space).m_deletions.HasPending();
    }
    // Round robin, also after a failed batch: the next step serves the next space, so
    // that a space whose batches fail keeps no other space's deletions waiting. A failed
    // batch does not wake the thread: it is tried again in the next period.
    {
        CriticalSectionLock lock(m_deletionLock);
        m_deletionList.Remove(space);
        if (left && m_deletionList.Append(space) && !failure) m_wake.Set();
    }
    if (failure) std::rethrow_exception(failure);
    return true;
}

// ---- failures and the thread -------------------------------------------------------

void DosWriter::Record(std::exception_ptr failure)
{
    CriticalSectionLock lock(m_failureLock);
    if (!m_failure) m_failure = failure;
}

std::exception_ptr DosWriter::GetRecordedFailure()
{
    CriticalSectionLock lock(m_failureLock);
    return m_failure;
}

void DosWriter::ThrowRecordedFailure()
{
    std::exception_ptr f;
    OID damaged;
    {
        CriticalSectionLock lock(m_failureLock);
        f = m_failure;
        if (!f && !m_damaged.empty()) {
            damaged = m_damaged.front();
            m_damaged.erase(m_damaged.begin());
        }
    }
    if (f) std::rethrow_exception(f);
    if (!damaged.IsNull()) throw DerefDanglingOidException(damaged);
}

int32_t DosWriter::GetNumUnreportedDamage()
{
    CriticalSectionLock lock(m_failureLock);
    return int32_t(m_damaged.size());
}

void DosWriter::NoteDamage(std::vector<OID>& damaged) noexcept
{
    CriticalSectionLock lock(m_failureLock);
    // Within the room made at the start: elements beyond it are reported no more.
    for (const OID& oid : damaged)
        if (m_damaged.size() < m_damaged.capacity()) m_damaged.push_back(oid);
    damaged.clear();
}

void DosWriter::NoteDeletionFailure(std::exception_ptr failure)
{
    TraceFailure("a deletion batch", failure);
    try {
        std::rethrow_exception(failure);
    } catch (const SystemException&) {
        Record(failure);
    } catch (const CorruptLSSException&) {
        Record(failure);
    } catch (...) {
        // What failed is still queued; the next period tries it.
    }
}

bool DosWriter::WaitOrStop(int32_t ms)
{
    if (ms > 0) m_wake.Wait(uint32_t(ms));
    return m_stop.load();
}

void DosWriter::ThreadMain()
{
    SetThreadName("Dirty Object Set Writer");
    // Room for the damaged elements one step meets, made before any work.
    std::vector<OID> damaged;
    try {
        damaged.reserve(size_t(PendingDeletions::kBatchSize));
    } catch (const std::bad_alloc&) {
        // Nothing may leave the thread's body: without the room, a step makes it when
        // it needs it, and fails as any step that runs out of memory.
    }
    while (!m_stop.load()) {
        const Clock::time_point t0 = Clock::now();
        auto elapsedMs = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); };
        try {
            // A step that fails ends the steps of this period.
            for (;;) {
                const bool stepped = DoDeletionStep(&damaged);
                NoteDamage(damaged);
                if (!stepped) break;
                if (m_stop.load()) return;
                if (elapsedMs() >= double(GetPeriod())) break;
            }
        } catch (...) {
            NoteDamage(damaged);
            NoteDeletionFailure(std::current_exception());
        }
        if (WaitOrStop(int32_t(double(GetPeriod()) - elapsedMs()))) return;
        try {
            WriteAll(false);
        } catch (...) {
            TraceFailure("a write-back", std::current_exception());
            Record(std::current_exception());
        }
    }
}

} // namespace vorn
