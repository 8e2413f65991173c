// Write-back throughput of small and 20 KB objects beside the raw store's commit of the
// same bytes, the cost of marking an object dirty beside a plain queue append, and the
// longest time the writer thread holds a space's lock while transactions keep objects
// dirty. The store files go to VORN_PSTORE_BENCH_DIR (default: the current directory).
#include "../tests/PersistTestUtil.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include <benchmark/benchmark.h>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

constexpr int kBatch = 256; // objects per write-back (one store transaction)

std::string BenchPath(const char* name)
{
    const char* dir = std::getenv("VORN_PSTORE_BENCH_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

// The builder's settings.
PersistStoreSettings BenchSettings(bool writer)
{
    PersistStoreSettings s;
    s.lssSettings.m_flushTimeMilliSec = 10000;
    s.lssSettings.m_maxNumSegmentsInCache = 512;
    s.lssSettings.m_numSegmentsPerCheckPoint = 256;
    s.startObjectDeletion = writer;
    return s;
}

struct BenchSpace {
    explicit BenchSpace(const char* file, bool writer = false)
    {
        RegisterTestClasses();
        const PersistStoreSettings s = BenchSettings(writer);
        m_store = OpenPersistStore(BenchPath(file).c_str(), OM_CREATE_ALWAYS, &s);
        m_space = OpenPSpace(m_store, "P", nullptr);
    }
    ~BenchSpace() { m_store->Close(); }
    // count nodes with payloads of size bytes, persistent under the root "R".
    std::vector<PNode*> Nodes(int count, size_t size)
    {
        RestoreThreadPSpace p(m_space);
        RestoreThreadCSpace c(m_space->GetCSpace());
        CSpaceLock lock(m_space->GetCSpace());
        std::vector<PNode*> nodes;
        for (int i = 0; i < count; ++i) {
            auto* n = new PNode;
            n->m_value = uint32_t(i);
            n->m_payload.resize(int32_t(size));
            for (size_t k = 0; k < size; ++k) n->m_payload[int32_t(k)] = uint8_t(k * 131 + 7);
            m_space->GetCSpace()->RegisterGcObject(n->AsAny());
            m_space->GetCSpace()->AddGcRoot(n->AsAny());
            if (i == 0) m_space->AddRoot("R", n->AsAny());
            else m_space->MakeObjectPersist(m_space->GetRoots().GetOwnOid().m_low, n->AsPersistable());
            nodes.push_back(n);
        }
        return nodes;
    }
    void MarkDirty(const std::vector<PNode*>& nodes)
    {
        CSpaceLock lock(m_space->GetCSpace());
        for (PNode* n : nodes) MarkPersistableAsDirtyWithoutTrace(*m_space, n->AsPersistable());
    }
    PersistStore* m_store;
    PSpace* m_space;
};

// Baseline: kBatch elements of the same size in one store transaction, flushed.
void BM_RawStoreCommit(benchmark::State& state)
{
    const size_t size = size_t(state.range(0));
    BenchSpace b("bench-raw.tvx");
    ILogStructuredStore* lss = b.m_store->GetLss();
    const SeidHigh h = lss->AllocateSeidHigh();
    std::vector<Seid> seids;
    for (int i = 0; i < kBatch; ++i) seids.push_back(lss->AllocateSeid(h));
    std::vector<uint8_t> bytes(size + 8, 0x5A);
    for (auto _ : state) {
        ILssTransaction* t = lss->OpenTransaction();
        for (const Seid& s : seids) {
            ICloseableOutputStream* w = t->WriteSerialElement(s.m_low, s.m_high);
            w->WriteStream(bytes.data(), ssize_t(bytes.size()));
            w->Close();
        }
        t->FlushWhenClose();
        t->Close();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(int64_t(state.iterations()) * kBatch * int64_t(bytes.size()));
}
BENCHMARK(BM_RawStoreCommit)->Arg(16)->Arg(20 << 10)->Unit(benchmark::kMillisecond)->UseRealTime();

// kBatch dirty objects written back in one group, flushed.
void BM_WriteBack(benchmark::State& state)
{
    const size_t size = size_t(state.range(0));
    BenchSpace b("bench-writeback.tvx");
    const std::vector<PNode*> nodes = b.Nodes(kBatch, size);
    WriteDirtyObjectsToLss(*b.m_space, true);
    for (auto _ : state) {
        b.MarkDirty(nodes);
        WriteDirtyObjectsToLss(*b.m_space, true);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(int64_t(state.iterations()) * kBatch * int64_t(size + 8));
}
BENCHMARK(BM_WriteBack)->Arg(16)->Arg(20 << 10)->Unit(benchmark::kMillisecond)->UseRealTime();

// Marking an object dirty (flag and queue), beside its baseline: a plain append to
// the same kind of queue.
void BM_MarkDirty(benchmark::State& state)
{
    BenchSpace b("bench-mark.tvx");
    const std::vector<PNode*> nodes = b.Nodes(4096, 0);
    DirtyObjectSet& set = b.m_space->GetWriteState().m_dirty;
    for (auto _ : state) {
        state.PauseTiming();
        DirtyObjectSet::Queue taken = set.Take();
        for (PNode* n : nodes) n->m_pos.m_flags &= ~uint32_t(POS_DIRTY);
        state.ResumeTiming();
        b.MarkDirty(nodes);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(nodes.size()));
}
BENCHMARK(BM_MarkDirty);

void BM_QueueAppendBaseline(benchmark::State& state)
{
    std::vector<PNode*> nodes(4096);
    for (auto _ : state) {
        PagedDeque<IPersistablePtr> q;
        for (PNode*& n : nodes) q.PushBack(IPersistablePtr{&n, nullptr});
        benchmark::DoNotOptimize(q.Size());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(nodes.size()));
}
BENCHMARK(BM_QueueAppendBaseline);

// The writer thread writes continuously while transactions keep kBatch objects of
// 20 KB dirty; reports the longest and the mean hold of the space lock by one write.
void BM_WriterLockHold(benchmark::State& state)
{
    BenchSpace b("bench-hold.tvx", true);
    const std::vector<PNode*> nodes = b.Nodes(kBatch, size_t(state.range(0)));
    b.m_store->SetDosPeriod(0);
    b.m_store->GetWriter().ResetLongestLockHold();
    for (auto _ : state) {
        RestoreThreadPSpace p(b.m_space);
        RestoreThreadCSpace c(b.m_space->GetCSpace());
        PersistStoreTxn* txn = OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE);
        for (PNode* n : nodes) MarkPersistentAsDirtyWithoutTrace(n->AsAny());
        ClosePSpaceTxn(txn);
    }
    b.m_store->WriteAllDirtyObjectsToLss(false);
    state.counters["longest_hold_ms"] = double(b.m_store->GetWriter().GetLongestLockHoldNs()) / 1e6;
    state.counters["mean_hold_us"] = double(b.m_store->GetWriter().GetMeanLockHoldNs()) / 1e3;
}
BENCHMARK(BM_WriterLockHold)->Arg(16)->Arg(20 << 10)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
