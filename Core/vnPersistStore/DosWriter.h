// vorn::DosWriter: the "Dirty Object Set Writer" thread of a persistent store. About
// once per period it writes every scheduled space to the log-structured store, a write
// group of spaces (spaces one exclusive transaction linked) in one store transaction
// together with the store's schema and registry elements; in the time left over it
// deletes queued permanent deletions in small batches. Spaces also call it directly
// (writing a space now, writing all, closing a space).
//
// A write takes and serialises the group's state under the CSpace locks of all its
// spaces (one consistent cut) and hands the bytes to the store after leaving them, so
// transactions wait only for the serialisation, not for the store.
//
// Lock order: the writer lock, then the CSpace locks of a group, then a dirty set's
// lock, the registry lock, and innermost the group lock and the two list locks. Hence a
// write-back (WriteGroup, WriteAll, ForgetSpace) must be called without holding any
// space lock. A transaction may hold one space's lock and enter another's (opening a
// space inside it) in an order of the program's own (PersistStore.h), not the writer's,
// so no order of the space locks is safe for the writer to wait in while it holds some
// of them. So the writer takes its turn: it announces it on every space of the group,
// and a fresh transaction (a thread that holds no space lock through a transaction yet)
// that enters one of those spaces waits behind it until the writer holds the group's
// locks, while an entry nested in a transaction already inside goes on. The writer then
// takes the locks waiting only while it holds none: wait for one, try the others; when
// one is taken, leave all and wait for that one next. Since no transaction starts
// meanwhile, it waits at most for the transactions that were inside when it announced
// its turn, and a fresh transaction waits at most for one write's locking. A thread
// that holds a space lock entered directly (CSpace::Lock) counts as fresh: it opens no
// space transaction while that lock may be one the writer waits for.
//
// Without announcing its turn (a benchmark's baseline) the writer takes the locks as it
// did before: after a few misses (a busy group, whose threads could keep the writer from
// ever holding all at once) it also waits for a lock while holding others, each such wait
// for a bounded time only: twice the longest wait it has seen for a missed lock, and
// twice as long after each further miss.
//
// A fresh transaction can so wait for the transactions inside a space of the group: a
// thread inside a transaction does not wait for another thread to begin one.
//
// Failures: a write-back that fails leaves everything it took still dirty and queued
// (nothing truncated is committed) and throws. On the writer thread:
// - a failure of a write-back, or of the store (a SystemException, FileException or
//   CorruptLSSException) in a deletion step, is recorded: every later write-back
//   called by a client, and closing a space or the store, throws it again after doing
//   its own work;
// - each damaged element met by a deletion step is reported once, in the order met:
//   the next client write-back (WriteDirtyObjectsToLss, WriteAllDirtyObjectsToLss)
//   throws DerefDanglingOidException naming it after doing its work, the one after
//   that names the next, and so on (up to kMaxUnreportedDamage waiting at a time);
// - any other failure of a deletion step left what failed queued; it is traced, and
//   the thread takes no further step before the next period (a failed batch does not
//   wake it), which tries it again.
// Every failure on the thread is traced. The thread itself never ends the process.
#pragma once
#include "vnPersistStore/Oid.h"
#include "vnPersistStore/SpaceWriteState.h"
#include "vnUtils/Threads.h"
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

namespace vorn {

class CSpace;
class PersistStore;
class PSpace;

class DosWriter : public IWorkerThreadFn {
public:
    static constexpr int32_t kDefaultPeriodMs = 1000;

    explicit DosWriter(PersistStore* store) : m_store(store) { m_damaged.reserve(kMaxUnreportedDamage); }
    // Stops the thread when it still runs.
    ~DosWriter() override;
    DosWriter(const DosWriter&) = delete;
    DosWriter& operator=(const DosWriter&) = delete;

    // Starts the thread unless it runs.
    void Start();
    // Asks the thread to end and, unless called on it, waits for it. It writes nothing
    // more: spaces are closed (and so written) first.
    void Stop();
    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }

    int32_t GetPeriod();
    // Wakes the thread first, so that a shorter period takes effect at once.
    void SetPeriod(int32_t ms);

    // A space is being opened, before it is published (nobody else reaches it yet): it
    // joins the deletion list when it has deletions pending.
    void RegisterSpace(PSpace* space);
    // Writes the write group of space now (nothing when no space of it is scheduled).
    void WriteGroup(PSpace* space, bool flushToDisk);
    // Writes every scheduled space, group by group.
    void WriteAll(bool flushToDisk);
    // Closing a space: writes its group; then, still holding the writer lock (no write
    // of the space runs or starts), asks stillClosing whether the close goes on. When it
    // does, takes the space off every list and ring and returns true; otherwise leaves
    // everything as it is and returns false. Throws the write's failure after that.
    bool ForgetSpace(PSpace* space, const std::function<bool()>& stillClosing);
    // Whether the thread's wake event was set (it is reset); only while no thread runs.
    bool TakeWakeForTests() { return m_wake.Wait(0); }
    // One deletion batch of the first space on the deletion list; false when none.
    // Damaged elements are appended to *damaged when given, else the first is thrown
    // (PendingDeletions::DeleteNextBatch).
    bool DoDeletionStep(std::vector<OID>* damaged = nullptr);

    // Joins the write groups of a and b; false when they were one already.
    bool LinkWriteGroup(PSpace* a, PSpace* b);
    // Extends list to the whole write groups of its members and dissolves them.
    void CollectWriteGroups(std::vector<PSpace*>& list);

    // A fresh transaction is about to enter the space's lock: waits while the writer's
    // turn is announced on it. Call with no space lock held through a transaction.
    void WaitForTurn(PSpace* space)
    {
        if (StateOfTurn(space).load(std::memory_order_acquire)) WaitForTurnSlow(space);
    }

    // Transactions that wait behind the writer's turn.
    int32_t GetNumWaitingForTurnForTests()
    {
        std::lock_guard<std::mutex> lock(m_turnLock);
        return m_waitingForTurn;
    }

    // The lists (each under its own lock).
    void AddToDirtyList(PSpace* space);
    void RemoveFromDirtyList(PSpace* space);
    void AddToDeletionList(PSpace* space);
    void RemoveFromDeletionList(PSpace* space);
    int32_t GetNumDirtySpaces();
    bool IsOnDeletionList(PSpace* space);

    // Points inside WriteGroup at which a test can make a change land. GroupCollected:
    // the group has been collected but no space lock is taken yet. LockTaken: a space
    // lock of the group was held by another thread; the writer has left those it held
    // and is about to wait for that one. HeldWait: the writer holds some of the group's
    // locks and is about to wait, for a bounded time (GetHeldWaitBoundNs), for another
    // that is taken. Regrouped: the group grew while the writer took its locks, which
    // it has left to take those of the new group. LocksLeft: the space locks have been
    // left but the taken state has not reached the store yet.
    // TurnAnnounced: the writer has announced its turn on the group and is about to
    // take its locks.
    enum class WriteStage { GroupCollected, LockTaken, HeldWait, Regrouped, LocksLeft, TurnAnnounced };
    // Called on the writing thread at each stage (with the writer lock held); set it
    // only while no write runs.
    void SetWriteStageHookForTests(std::function<void(WriteStage)> hook) { m_stageHook = std::move(hook); }

    // How the writer takes a group's locks (see the top): announcing its turn, or, as a
    // baseline, with misses before it waits while holding locks; with unbounded held
    // waits, once it does, it waits in address order as long as it takes (which can
    // deadlock). Set it only while no write runs.
    struct LockWaiting {
        int32_t m_missesBeforeHeldWaits = 2;
        bool m_unboundedHeldWaits = false;
        bool m_announceTurn = true; // when set, the two above are not used
    };
    void SetLockWaitingForTests(LockWaiting w) { m_lockWaiting = w; }
    // The bound of the held wait that is about to begin (at the HeldWait stage).
    int64_t GetHeldWaitBoundNs() const { return m_heldWaitBoundNs.load(std::memory_order_relaxed); }

    // The first store or write-back failure recorded on the writer thread (null when
    // none); damaged elements are no such failure.
    std::exception_ptr GetRecordedFailure();
    // For a client's write-back, after its own work: throws the recorded failure, if
    // any; otherwise the report of a damaged element not yet reported, if any, which
    // is then cleared.
    void ThrowRecordedFailure();
    // Damaged elements met on the writer thread that wait to be reported.
    int32_t GetNumUnreportedDamage();
    bool HasUnreportedDamage() { return GetNumUnreportedDamage() > 0; }
    static constexpr size_t kMaxUnreportedDamage = 256;

    // The longest time, in nanoseconds, that one write held a group's space locks.
    int64_t GetLongestLockHoldNs() const { return m_longestHoldNs.load(std::memory_order_relaxed); }
    // The mean time, in nanoseconds, over the writes since the last reset.
    int64_t GetMeanLockHoldNs() const
    {
        const int64_t n = m_holds.load(std::memory_order_relaxed);
        return n ? m_totalHoldNs.load(std::memory_order_relaxed) / n : 0;
    }
    void ResetLongestLockHold()
    {
        m_longestHoldNs.store(0, std::memory_order_relaxed);
        m_totalHoldNs.store(0, std::memory_order_relaxed);
        m_holds.store(0, std::memory_order_relaxed);
    }

    void ThreadMain() override;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kMinHeldWait{1};
    static constexpr std::chrono::microseconds kHeldWaitPoll{50};

    void Record(std::exception_ptr failure);
    // A deletion step on the writer thread failed: records, reports or only traces it.
    void NoteDeletionFailure(std::exception_ptr failure);
    // Moves damaged elements a step met to the list of those to report.
    void NoteDamage(std::vector<OID>& damaged) noexcept;
    // Waits up to bound for c while holding other locks of the group; false when the
    // bound passed (or is zero).
    bool WaitHolding(CSpace* c, Clock::duration bound);
    bool AnyScheduled(const std::vector<PSpace*>& group);
    // The space locks a write holds: left by Leave or, at the latest, the destructor.
    // Room for all of them is made first (Reserve), so that taking and leaving them
    // allocates nothing.
    class HeldLocks {
    public:
        HeldLocks() = default;
        ~HeldLocks() { Leave(); }
        HeldLocks(const HeldLocks&) = delete;
        HeldLocks& operator=(const HeldLocks&) = delete;
        void Reserve(size_t n) { m_held.reserve(n); }
        void Add(CSpace* c) noexcept { m_held.push_back(c); }
        void Leave() noexcept;
        bool Empty() const { return m_held.empty(); }
    private:
        std::vector<CSpace*> m_held; // in the order entered
    };
    // Enters the locks of order (distinct CSpaces in ascending address order; see the
    // top) into held, which has room for all and holds none.
    void LockGroup(const std::vector<CSpace*>& order, HeldLocks& held);
    // A write that failed after collecting its group links the group again, so that
    // its spaces are still written together. Allocates nothing.
    void RelinkWriteGroup(const std::vector<PSpace*>& group) noexcept;
    // Takes the space out of its write-group ring. Allocates nothing.
    void LeaveWriteGroup(PSpace* space) noexcept;
    static std::atomic<bool>& StateOfTurn(PSpace* space);
    void WaitForTurnSlow(PSpace* space);
    int32_t m_waitingForTurn = 0; // under m_turnLock
    // Announces the writer's turn on the spaces, or ends it (waking the transactions
    // that wait behind it). Allocate nothing.
    void SetTurn(const std::vector<PSpace*>& spaces, bool on) noexcept;
    // WriteGroup once the group is collected and has something to write.
    void WriteCollectedGroup(std::vector<PSpace*>& group, bool flushToDisk);
    void NoteLockHold(Clock::duration held) noexcept;
    bool WaitOrStop(int32_t ms);
    // Nothing is left to write: a flush asked for still reaches the disk, since the
    // thread may have written unflushed since the last one.
    void FlushIfAsked(bool flushToDisk);
    void ReachedStage(WriteStage stage)
    {
        if (m_stageHook) m_stageHook(stage);
    }

    PersistStore* m_store;
    WorkerThreadX m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    Event m_wake{false, false};
    CriticalSection m_writerLock;
    CriticalSection m_periodLock;
    int32_t m_period = kDefaultPeriodMs;
    // A doubly linked list of spaces through one pair of their links (SpaceWriteState).
    struct SpaceList {
        SpaceWriteState::ListLinks SpaceWriteState::*m_links;
        PSpace* m_first = nullptr;
        PSpace* m_last = nullptr;
        int32_t m_count = 0;

        bool Contains(PSpace* space) const;
        // False when the space is on the list already.
        bool Append(PSpace* space);
        // False when the space is not on the list.
        bool Remove(PSpace* space);
    };
    CriticalSection m_deletionLock;
    SpaceList m_deletionList{&SpaceWriteState::m_deletionLinks};
    CriticalSection m_groupLock;
    CriticalSection m_dirtyLock;
    SpaceList m_dirtyList{&SpaceWriteState::m_dirtyLinks};
    std::mutex m_turnLock;
    std::condition_variable m_turnEnded;
    CriticalSection m_failureLock;
    std::exception_ptr m_failure;
    // Damaged elements not yet reported to a client, in the order met; the room is made
    // at construction, so that noting one allocates nothing.
    std::vector<OID> m_damaged;
    LockWaiting m_lockWaiting;
    std::atomic<int64_t> m_heldWaitBoundNs{0};
    std::atomic<int64_t> m_longestHoldNs{0};
    std::atomic<int64_t> m_totalHoldNs{0};
    std::atomic<int64_t> m_holds{0};
    std::function<void(WriteStage)> m_stageHook;
};

} // namespace vorn
