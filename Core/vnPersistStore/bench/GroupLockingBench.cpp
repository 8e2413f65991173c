// How long the writer takes to lock a busy write group. A and B are one group; two
// threads run staggered space transactions on A and B (each held for a while, then left
// for a short gap or none, B half a hold behind A), so that one of them is nearly
// always held. Each iteration times WriteGroup(A), in the same run for four ways of
// taking the group's locks:
//   ordered   - wait for each lock in address order while holding the ones before it
//               (the baseline; it can deadlock against a transaction that enters the
//               locks in the other order),
//   bounded   - the writer's former scheme: waits holding nothing, then after two misses
//               waits holding locks, each time up to a longer bound,
//   tryRest   - waits holding nothing only: wait for one, try the rest, on a miss leave
//               all and wait for the missed one (only the short configuration: at 40 ms
//               it takes seconds),
//   turn      - the writer's scheme now: it announces its turn, fresh transactions wait
//               behind it, and it waits holding nothing.
// Counters: misses per write (a lock found taken after another was held), the longest
// write, the longest wait of a transaction for its lock.
#include "../tests/PersistTestUtil.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include <benchmark/benchmark.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

using Clock = std::chrono::steady_clock;

struct Holding {
    std::chrono::microseconds held;
    std::chrono::microseconds gap;
};
constexpr Holding kHoldings[] = {{std::chrono::microseconds(40000), std::chrono::microseconds(200)},
                                 {std::chrono::microseconds(6000), std::chrono::microseconds(300)},
                                 {std::chrono::microseconds(20000), std::chrono::microseconds(0)}};

enum Scheme { kOrdered, kBounded, kTryRest, kTurn };

DosWriter::LockWaiting WaitingOf(Scheme s)
{
    switch (s) {
    case kOrdered: return DosWriter::LockWaiting{0, true, false};
    case kTryRest: return DosWriter::LockWaiting{INT_MAX, false, false};
    case kBounded: return DosWriter::LockWaiting{2, false, false};
    case kTurn: break;
    }
    return DosWriter::LockWaiting{};
}

// A store on the process's memory storage with the spaces A and B, each with a
// persistent root node; no writer thread.
struct BusyPair {
    BusyPair()
    {
        RegisterTestClasses();
        PersistStoreSettings s;
        s.startObjectDeletion = false;
        m_store = OpenPersistStore("memfile", OM_CREATE_ALWAYS, &s);
        // The memory storage outlives the store: each run has spaces of its own.
        static int runs = 0;
        ++runs;
        for (int i = 0; i < 2; ++i) {
            const std::string name = (i == 0 ? "A" : "B") + std::to_string(runs);
            m_spaces[i] = OpenPSpace(m_store, name.c_str(), nullptr);
            RestoreThreadPSpace p(m_spaces[i]);
            RestoreThreadCSpace c(m_spaces[i]->GetCSpace());
            CSpaceLock lock(m_spaces[i]->GetCSpace());
            auto* n = new PNode;
            m_spaces[i]->GetCSpace()->RegisterGcObject(n->AsAny());
            m_spaces[i]->AddRoot("R", n->AsAny());
            m_nodes[i] = n;
        }
    }
    ~BusyPair()
    {
        Stop();
        m_store->Close();
    }
    // Thread i runs transactions on space i: each holds the space's lock for held and
    // marks its node dirty, then the thread waits gap (none: back to back). The longest
    // wait of a transaction for its lock is kept.
    void Start(Holding h)
    {
        for (int i = 0; i < 2; ++i)
            m_holders[i] = std::thread([this, h, i] {
                RestoreThreadPSpace p(m_spaces[i]);
                RestoreThreadCSpace c(m_spaces[i]->GetCSpace());
                if (i == 1) std::this_thread::sleep_for(h.held / 2);
                while (!m_stop.load()) {
                    const Clock::time_point t0 = Clock::now();
                    PersistStoreTxn* txn = OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE);
                    const int64_t waited = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
                    int64_t longest = m_longestTxnWaitUs.load();
                    while (waited > longest && !m_longestTxnWaitUs.compare_exchange_weak(longest, waited)) {
                    }
                    MarkPersistableAsDirtyWithoutTrace(*m_spaces[i], m_nodes[i]->AsPersistable());
                    std::this_thread::sleep_for(h.held);
                    ClosePSpaceTxn(txn);
                    if (h.gap.count() > 0) std::this_thread::sleep_for(h.gap);
                }
            });
    }
    void Stop()
    {
        m_stop.store(true);
        for (std::thread& t : m_holders)
            if (t.joinable()) t.join();
    }
    PersistStore* m_store = nullptr;
    PSpace* m_spaces[2] = {};
    PNode* m_nodes[2] = {};
    std::thread m_holders[2];
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_longestTxnWaitUs{0};
};

void BM_WriteBusyGroup(benchmark::State& state)
{
    const Holding holding = kHoldings[state.range(0)];
    const Scheme scheme = Scheme(state.range(1));
    BusyPair pair;
    DosWriter& writer = pair.m_store->GetWriter();
    writer.SetLockWaitingForTests(WaitingOf(scheme));
    int64_t misses = 0;
    writer.SetWriteStageHookForTests([&](DosWriter::WriteStage stage) {
        if (stage == DosWriter::WriteStage::LockTaken) ++misses;
    });
    pair.Start(holding);
    double longest = 0;
    for (auto _ : state) {
        // Both spaces have something to write and are one group again.
        while (!pair.m_spaces[0]->GetWriteState().m_dirty.IsScheduled()) std::this_thread::sleep_for(holding.gap);
        writer.LinkWriteGroup(pair.m_spaces[0], pair.m_spaces[1]);
        const Clock::time_point t0 = Clock::now();
        writer.WriteGroup(pair.m_spaces[0], false);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        longest = std::max(longest, s);
    }
    pair.Stop();
    writer.SetWriteStageHookForTests(nullptr);
    state.counters["misses"] = benchmark::Counter(double(misses), benchmark::Counter::kAvgIterations);
    state.counters["longest_ms"] = longest * 1e3;
    state.counters["txn_wait_ms"] = double(pair.m_longestTxnWaitUs.load()) / 1e3;
}

void Configurations(benchmark::internal::Benchmark* b)
{
    for (int holding = 0; holding < 3; ++holding)
        for (int scheme : {kOrdered, kBounded, kTryRest, kTurn})
            if (scheme != kTryRest || holding == 1) b->Args({holding, scheme});
}
BENCHMARK(BM_WriteBusyGroup)
    ->Apply(Configurations)
    ->ArgNames({"holding", "scheme"})
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
