// How the writer takes the locks of a write group: it never waits without bound while
// it holds one of them (a transaction may wait for that one while holding the lock
// the writer waits for), and threads that keep one of the group's locks taken at any
// moment cannot keep it from writing: after a few misses it waits while holding, each
// time up to a longer bound.
#include "StoreTestUtil.h"
#include "vnLss/tests/Watchdog.h"
#include <gtest/gtest.h>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <atomic>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

using Stage = DosWriter::WriteStage;

// A thread that takes and leaves space locks when asked, as a transaction would.
class LockHolder {
public:
    LockHolder() : m_thread([this] { Run(); }) {}
    ~LockHolder()
    {
        Do([this] {
            LeaveAllHere();
            m_stop = true;
        });
        m_thread.join();
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    // Takes c unless another thread holds it; false then.
    bool Take(CSpace* c)
    {
        bool taken = false;
        Do([&] {
            taken = c->TryLock();
            if (taken) m_held.push_back(c);
        });
        return taken;
    }
    void LeaveAll()
    {
        Do([this] { LeaveAllHere(); });
    }
    // Takes other and then leaves the one it holds.
    bool Swap(CSpace* other)
    {
        bool taken = false;
        Do([&] {
            taken = other->TryLock();
            if (!taken) return;
            LeaveAllHere();
            m_held.push_back(other);
        });
        return taken;
    }

private:
    void LeaveAllHere()
    {
        for (CSpace* c : m_held) c->Unlock();
        m_held.clear();
    }
    // Runs f on the holder's thread and waits for it.
    void Do(std::function<void()> f)
    {
        std::unique_lock<std::mutex> l(m_lock);
        m_job = std::move(f);
        m_changed.notify_all();
        m_changed.wait(l, [this] { return !m_job; });
    }
    void Run()
    {
        std::unique_lock<std::mutex> l(m_lock);
        while (!m_stop) {
            m_changed.wait(l, [this] { return bool(m_job); });
            m_job();
            m_job = nullptr;
            m_changed.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::function<void()> m_job;
    bool m_stop = false;
    std::vector<CSpace*> m_held;
    std::thread m_thread;
};

// A store without a writer thread with the spaces "A" and "B" in one write group, each
// with a change to write; low and high are their CSpaces by address.
struct LinkedPair {
    LinkedPair()
    {
        const PSpaceLockPair pairs[] = {{m_a, PSPACE_LOCK_EXCLUSIVE}, {m_b, PSPACE_LOCK_EXCLUSIVE}};
        {
            // The second lock is free: taken by a try, it sets no order between the two
            // locks for ThreadSanitizer, which a test below enters in both orders.
            CSpaceLock lockA(m_a->GetCSpace());
            EXPECT_TRUE(m_b->GetCSpace()->TryLock());
            PersistStoreTxn* txn = m_store->OpenTxn(pairs, 2);
            for (PSpace* s : {m_a, m_b}) {
                ThreadSpaces ts(s);
                EXPECT_TRUE(s->AddRoot("R", NewNodeIn(s->GetCSpace(), 1)->AsAny()));
            }
            txn->Close();
            m_b->GetCSpace()->Unlock();
        }
        m_low = std::min(m_a->GetCSpace(), m_b->GetCSpace());
        m_high = std::max(m_a->GetCSpace(), m_b->GetCSpace());
    }
    ~LinkedPair()
    {
        Writer().SetWriteStageHookForTests(nullptr);
        Writer().SetLockWaitingForTests(DosWriter::LockWaiting{});
        m_store->Close();
    }
    DosWriter& Writer() { return m_store->GetWriter(); }
    bool Written() { return !m_a->GetWriteState().m_dirty.IsScheduled() && !m_b->GetWriteState().m_dirty.IsScheduled(); }
    // Another thread can take both locks.
    bool BothFree()
    {
        bool free = false;
        std::thread t([&] {
            for (CSpace* c : {m_low, m_high})
                if (!c->TryLock()) return;
            free = true;
            m_high->Unlock();
            m_low->Unlock();
        });
        t.join();
        return free;
    }

    Watchdog m_dog;
    std::shared_ptr<SharedBytes> m_bytes = std::make_shared<SharedBytes>();
    PersistStore* m_store = OpenStoreOn(m_bytes, QuietStoreSettings(false));
    PSpace* m_a = OpenPSpace(m_store, "A", nullptr);
    PSpace* m_b = OpenPSpace(m_store, "B", nullptr);
    CSpace* m_low = nullptr;
    CSpace* m_high = nullptr;
};

} // namespace

// A holder that always has the lock the writer tries next, swapping as the writer
// turns to wait for it, would starve a writer that only ever waits holding nothing.
// This one gives in only at the third wait the writer makes while holding a lock: the
// writer must begin such waits after the default two misses, each with at least twice
// the bound of the one before, and leave no lock held after a miss.
TEST(GroupLocking, AfterAFewMissesTheWriterWaitsHoldingALockEachTimeTwiceAsLong)
{
    LinkedPair f;
    f.Writer().SetLockWaitingForTests(DosWriter::LockWaiting{2, false, false});
    LockHolder holder;
    CSpace* held = f.m_high;
    ASSERT_TRUE(holder.Take(held));
    int misses = 0;
    int missesBeforeHeldWait = -1;
    std::vector<int64_t> bounds;
    bool giveIn = false;
    f.Writer().SetWriteStageHookForTests([&](Stage stage) {
        if (giveIn) return;
        if (stage == Stage::LockTaken) {
            // The writer holds nothing now and turns to wait for the lock the holder
            // has: the holder takes the other one first.
            ++misses;
            if (misses > 12) {
                ADD_FAILURE() << "the writer keeps missing";
                giveIn = true;
            } else {
                CSpace* other = held == f.m_low ? f.m_high : f.m_low;
                if (holder.Swap(other)) {
                    held = other;
                } else {
                    ADD_FAILURE() << "a lock the writer left is still held";
                    giveIn = true;
                }
            }
            if (giveIn) holder.LeaveAll();
        } else if (stage == Stage::HeldWait) {
            if (missesBeforeHeldWait < 0) missesBeforeHeldWait = misses;
            bounds.push_back(f.Writer().GetHeldWaitBoundNs());
            if (bounds.size() == 3) {
                giveIn = true;
                holder.LeaveAll();
            }
        }
    });
    std::thread writer([&] { f.Writer().WriteGroup(f.m_a, false); });
    writer.join();
    f.Writer().SetWriteStageHookForTests(nullptr);
    holder.LeaveAll();
    EXPECT_TRUE(f.Written());
    EXPECT_TRUE(f.BothFree());
    EXPECT_EQ(missesBeforeHeldWait, 2);
    ASSERT_EQ(bounds.size(), 3u);
    EXPECT_GT(bounds[0], 0);
    for (size_t i = 1; i < bounds.size(); ++i) EXPECT_GE(bounds[i], 2 * bounds[i - 1]);
}

// The hang of an open inside a transaction, with the writer waiting while it holds a
// lock: it holds the lower lock of the group and waits for the higher, which a
// transaction holds while it waits for the lower (as an open of that space inside the
// transaction does). The writer's wait ends, it leaves its lock, and both go on.
TEST(GroupLocking, AWaitHoldingALockEndsWhenATransactionWaitsForThatLock)
{
    LinkedPair f;
    f.Writer().SetLockWaitingForTests(DosWriter::LockWaiting{0, false, false});
    std::atomic<bool> heldWait{false};
    f.Writer().SetWriteStageHookForTests([&](Stage stage) {
        if (stage == Stage::HeldWait) heldWait.store(true);
    });
    std::thread writer;
    {
        CSpaceLock high(f.m_high);
        writer = std::thread([&] { f.Writer().WriteGroup(f.m_a, false); });
        while (!heldWait.load()) std::this_thread::yield();
        CSpaceLock low(f.m_low);
    }
    writer.join();
    EXPECT_TRUE(f.Written());
    EXPECT_TRUE(f.BothFree());
}

// The writer's turn: a transaction is inside A when the writer begins to write the
// group. A fresh transaction on B waits behind the writer (which waits for A's alone)
// and enters B only once the writer has taken the group's state; a transaction already
// inside goes on into B, nested.
TEST(GroupLocking, AFreshTransactionWaitsBehindTheWriterAndANestedEntryGoesOn)
{
    LinkedPair f;
    std::atomic<bool> announced{false};
    f.Writer().SetWriteStageHookForTests([&](Stage stage) {
        if (stage == Stage::TurnAnnounced) announced.store(true);
    });
    std::atomic<bool> leaveA{false};
    std::atomic<bool> enteredA{false};
    std::atomic<bool> nestedEntered{false};
    bool nestedTook = false;
    std::thread insideA([&] {
        ThreadSpaces ts(f.m_a);
        Txn txn;
        enteredA.store(true);
        while (!announced.load()) std::this_thread::yield();
        // Nested: enters B's lock although the writer's turn is announced on it.
        bool created = false;
        PSpace* b = txn.Get()->OpenPSpace("B", OM_OPEN_EXISTING, &created, nullptr);
        nestedTook = f.m_b->GetRoots().IsDirty();
        nestedEntered.store(true);
        while (!leaveA.load()) std::this_thread::yield();
        b->Close();
    });
    while (!enteredA.load()) std::this_thread::yield();
    std::thread writer([&] { f.Writer().WriteGroup(f.m_a, false); });
    while (!nestedEntered.load()) std::this_thread::yield();
    EXPECT_TRUE(nestedTook) << "the writer took B's state while a transaction was inside A";
    // Fresh: waits behind the writer, and so finds B's state taken when it enters.
    std::atomic<bool> freshEntered{false};
    bool stateTaken = false;
    std::thread fresh([&] {
        ThreadSpaces ts(f.m_b);
        Txn txn;
        stateTaken = !f.m_b->GetRoots().IsDirty();
        freshEntered.store(true);
    });
    while (!freshEntered.load() && f.Writer().GetNumWaitingForTurnForTests() == 0) std::this_thread::yield();
    leaveA.store(true);
    insideA.join();
    writer.join();
    fresh.join();
    EXPECT_TRUE(stateTaken) << "a fresh transaction entered B before the writer took its state";
    EXPECT_TRUE(f.Written());
    EXPECT_TRUE(f.BothFree());
}
