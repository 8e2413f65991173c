// Memory running out in the middle of a write-back: from the Nth allocation of the
// writing thread on, every allocation fails, for N = 0, 1, 2 ... until the write
// completes. Each failed write must end by throwing, leave every space lock free and
// lose nothing: once memory is back, the next write takes it all. Memory runs out only
// until the write has left the space locks (what the store does with a failure of its
// own is the store's).
//
// The test program links the allocation-failure injection: only this thread's
// allocations, through operator new or the framework heap, are counted and failed.
#include "StoreTestUtil.h"
#include "vnLss/tests/Watchdog.h"
#include "vnUtils/tests/faults/AllocationFailure.h"
#include <gtest/gtest.h>
#include <cstdint>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

// Every allocation of this thread from the nth (0-based) on fails while it lives.
class MemoryRunsOut {
public:
    explicit MemoryRunsOut(int64_t n) { ArmAllocationFailure(FaultScope::ThisThread, n + 1, INT32_MAX); }
    ~MemoryRunsOut() { DisarmAllocationFailure(); }
    MemoryRunsOut(const MemoryRunsOut&) = delete;
    MemoryRunsOut& operator=(const MemoryRunsOut&) = delete;
};

// Another thread takes and leaves every lock (a lock left held hangs it: the watchdog
// ends that; a collector pass may hold one for a moment).
void LeftByAll(std::initializer_list<CSpace*> locks)
{
    std::thread t([&] {
        for (CSpace* c : locks) CSpaceLock lock(c);
    });
    t.join();
}

// Runs step with memory running out from the nth allocation on, for n = 0, 1, ... until
// it completes; after each failure check() must hold. Returns the failures.
template <class Step, class Check>
int RunOutAtEachAllocation(Step&& step, Check&& check)
{
    for (int64_t n = 0;; ++n) {
        bool done = false;
        try {
            MemoryRunsOut out(n);
            done = step();
        } catch (const std::bad_alloc&) {
        }
        if (done) return int(n);
        SCOPED_TRACE(::testing::Message() << "memory ran out at allocation " << n);
        check();
        if (::testing::Test::HasFailure()) return int(n);
    }
}

} // namespace

// A write group of two spaces with dirty objects, changed roots and merged deletions.
TEST(OutOfMemory, AWriteBackThatRunsOutOfMemoryLeavesNoLockAndLosesNothing)
{
    Watchdog dog(120);
    auto bytes = std::make_shared<SharedBytes>();
    PersistStore* store = OpenStoreOn(bytes, QuietStoreSettings(false));
    PSpace* a = OpenPSpace(store, "A", nullptr);
    PSpace* b = OpenPSpace(store, "B", nullptr);
    std::vector<PNode*> nodes;
    {
        OrderedLocks locks(a->GetCSpace(), b->GetCSpace());
        const PSpaceLockPair pairs[] = {{a, PSPACE_LOCK_EXCLUSIVE}, {b, PSPACE_LOCK_EXCLUSIVE}};
        PersistStoreTxn* txn = store->OpenTxn(pairs, 2);
        for (PSpace* s : {a, b}) {
            ThreadSpaces ts(s);
            for (uint32_t i = 0; i < 3; ++i) {
                PNode* n = NewNodeIn(s->GetCSpace(), 100 + i);
                EXPECT_TRUE(s->AddRoot(("r" + std::to_string(i)).c_str(), n->AsAny()));
                nodes.push_back(n);
            }
        }
        txn->Close();
    }
    store->GetWriter().SetWriteStageHookForTests([](DosWriter::WriteStage stage) {
        if (stage == DosWriter::WriteStage::LocksLeft) DisarmAllocationFailure();
    });
    const int failures = RunOutAtEachAllocation(
        [&] {
            WriteDirtyObjectsToLss(*a, false);
            return true;
        },
        [&] {
            LeftByAll({a->GetCSpace(), b->GetCSpace()});
            EXPECT_TRUE(a->GetWriteState().m_dirty.IsScheduled());
            EXPECT_TRUE(b->GetWriteState().m_dirty.IsScheduled());
            EXPECT_EQ(a->GetWriteState().m_dirty.Size() + b->GetWriteState().m_dirty.Size(), 6);
        });
    store->GetWriter().SetWriteStageHookForTests(nullptr);
    EXPECT_GT(failures, 3);
    EXPECT_FALSE(a->GetWriteState().m_dirty.IsScheduled());
    EXPECT_FALSE(b->GetWriteState().m_dirty.IsScheduled());
    for (PNode* n : nodes) {
        std::vector<uint8_t> stored;
        EXPECT_TRUE(ReadElement(store->GetLss(), n->m_pos.m_oid.AsSeid(), stored));
    }
    a->Close();
    b->Close();
    store->Close();
}
