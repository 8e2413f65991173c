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
// space inside it), so the writer never waits for a space lock while it holds one of the
// group: it waits for one, tries the others, and when one is taken leaves all and waits
// for that one next.
//
// Failures: a write-back that fails leaves everything it took still dirty and queued
// (nothing truncated is committed) and throws. The first failure on the writer thread
// is recorded; every later write-back called by a client, and closing a space or the
// store, throws it again after doing its own work. The thread itself never ends the
// process.
#pragma once
#include "vnPersistStore/SpaceWriteState.h"
#include "vnUtils/Threads.h"
#include <atomic>
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

    explicit DosWriter(PersistStore* store) : m_store(store) {}
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
    // One deletion batch of the first space on the deletion list; false when none.
    bool DoDeletionStep();

    // Joins the write groups of a and b; false when they were one already.
    bool LinkWriteGroup(PSpace* a, PSpace* b);
    // Extends list to the whole write groups of its members and dissolves them.
    void CollectWriteGroups(std::vector<PSpace*>& list);

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
    // and is about to wait for that one. Regrouped: the group grew while the writer
    // took its locks, which it has left to take those of the new group. LocksLeft: the
    // space locks have been left but the taken state has not reached the store yet.
    enum class WriteStage { GroupCollected, LockTaken, Regrouped, LocksLeft };
    // Called on the writing thread at each stage (with the writer lock held); set it
    // only while no write runs.
    void SetWriteStageHookForTests(std::function<void(WriteStage)> hook) { m_stageHook = std::move(hook); }

    // The first failure recorded on the writer thread (null when none).
    std::exception_ptr GetRecordedFailure();
    // Throws the recorded failure, if any.
    void ThrowRecordedFailure();

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
    void Record(std::exception_ptr failure);
    bool AnyScheduled(const std::vector<PSpace*>& group);
    // Enters the locks of spaces (see the top) and returns them in the order entered.
    std::vector<CSpace*> LockGroup(const std::vector<PSpace*>& spaces);
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
    CriticalSection m_failureLock;
    std::exception_ptr m_failure;
    std::atomic<int64_t> m_longestHoldNs{0};
    std::atomic<int64_t> m_totalHoldNs{0};
    std::atomic<int64_t> m_holds{0};
    std::function<void(WriteStage)> m_stageHook;
};

} // namespace vorn
