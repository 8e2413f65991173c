// Memory running out in the middle of a write-back: from the Nth allocation of the
// writing thread on, every allocation fails, for N = 0, 1, 2 ... until the write
// completes. Each failed write must end by throwing, leave every space lock free and
// lose nothing: once memory is back, the next write takes it all. Memory runs out only
// until the write has left the space locks (what the store does with a failure of its
// own is the store's).
//
// The test binary's operator new is replaced by one that fails on request; allocations
// of other threads, and of this one while nothing is armed, pass to malloc.
#include "StoreTestUtil.h"
#include "vnLss/tests/Watchdog.h"
#include <gtest/gtest.h>
#include <cstdlib>
#include <new>
#include <thread>

namespace {
// Allocations of this thread left before they fail; negative: none fails.
thread_local int64_t t_allocationsLeft = -1;

void* Allocate(size_t n)
{
    if (t_allocationsLeft == 0) throw std::bad_alloc();
    if (t_allocationsLeft > 0) --t_allocationsLeft;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace vorn;
using namespace vorn::test;

namespace {

// Every allocation of this thread from the nth on fails while it lives.
class MemoryRunsOut {
public:
    explicit MemoryRunsOut(int64_t n) { t_allocationsLeft = n; }
    ~MemoryRunsOut() { t_allocationsLeft = -1; }
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
        if (stage == DosWriter::WriteStage::LocksLeft) t_allocationsLeft = -1;
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
