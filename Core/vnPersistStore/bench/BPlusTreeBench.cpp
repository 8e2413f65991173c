// Figures of the persistent B+ tree over a million int32 keys in random order, each
// beside an ordered-set baseline in the same run: inserts and lookups in memory, then
// lookups and inserts in a store reopened after the tree was written back.
#include "vnObject/CSpace.h"
#include "vnPersistStore/BPlusTree.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include <benchmark/benchmark.h>
#include <algorithm>
#include <random>
#include <set>

namespace vorn {
namespace {

constexpr int32_t kKeys = 1000000;

const std::vector<int32_t>& RandomKeys()
{
    static const std::vector<int32_t> keys = [] {
        std::vector<int32_t> v(static_cast<size_t>(kKeys));
        for (int32_t i = 0; i < kKeys; ++i) v[size_t(i)] = i * 2;
        std::shuffle(v.begin(), v.end(), std::mt19937(5));
        return v;
    }();
    return keys;
}

ReflectionByteCodeValue Int32Type()
{
    static const uint8_t code[] = {FT_INT32};
    return ReflectionByteCodeValue(ReflectionByteCode(code, nullptr));
}

// A store on the process's memory storage with one space; the thread works in it.
class BenchStore {
public:
    explicit BenchStore(EOpenMode mode)
    {
        RegisterBPlusTreeClasses();
        PersistStoreSettings s;
        s.lssSettings.m_segmentSize = 0x100000;
        m_store = OpenPersistStore("memfile", mode, &s);
        m_space = OpenPSpace(m_store, "P", nullptr);
        m_space->GetCSpace()->SetEvictionThreshold(256 * 1024 * 1024);
        m_savedP = GetThreadPSpace();
        m_savedC = GetThreadCSpace();
        SetThreadPSpace(m_space);
        SetThreadCSpace(m_space->GetCSpace());
    }
    ~BenchStore()
    {
        SetThreadPSpace(m_savedP);
        SetThreadCSpace(m_savedC);
        m_store->Close();
    }
    template <class F>
    void InTxn(F&& f)
    {
        PersistStoreTxn* txn = OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE);
        f();
        ClosePSpaceTxn(txn);
    }
    BPlusTree* NewTree(const char* root)
    {
        auto* t = new BPlusTree;
        RegisterGcObject(t->AsPersistable().Any());
        t->SetTypeIds(BPlusTree::GetTypeOpsIdOf(Int32Type()), 0);
        if (root) m_space->AddRoot(root, t->AsPersistable().Any());
        return t;
    }
    BPlusTree* Tree(const char* root) { return static_cast<BPlusTree*>(m_space->GetRoot(root).m_object); }

private:
    PersistStore* m_store;
    PSpace* m_space;
    PSpace* m_savedP;
    CSpace* m_savedC;
};

void BM_BPlusTreeInsertMillion(benchmark::State& state)
{
    const std::vector<int32_t>& keys = RandomKeys();
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchStore store(OM_CREATE_ALWAYS);
            store.InTxn([&] {
                BPlusTree* t = store.NewTree(nullptr);
                state.ResumeTiming();
                for (int32_t k : keys) t->Insert(&k);
                state.PauseTiming();
                benchmark::DoNotOptimize(t->GetCount());
            });
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kKeys);
}
BENCHMARK(BM_BPlusTreeInsertMillion)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SetInsertMillion_Baseline(benchmark::State& state)
{
    const std::vector<int32_t>& keys = RandomKeys();
    for (auto _ : state) {
        std::set<int32_t> s;
        for (int32_t k : keys) s.insert(k);
        benchmark::DoNotOptimize(s.size());
        state.PauseTiming();
        s.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kKeys);
}
BENCHMARK(BM_SetInsertMillion_Baseline)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BPlusTreeFindMillion(benchmark::State& state)
{
    const std::vector<int32_t>& keys = RandomKeys();
    BenchStore store(OM_CREATE_ALWAYS);
    store.InTxn([&] {
        BPlusTree* t = store.NewTree(nullptr);
        for (int32_t k : keys) t->Insert(&k);
        for (auto _ : state) {
            int64_t found = 0;
            for (int32_t k : keys) found += t->Find(&k).m_leaf != nullptr;
            benchmark::DoNotOptimize(found);
        }
    });
    state.SetItemsProcessed(int64_t(state.iterations()) * kKeys);
}
BENCHMARK(BM_BPlusTreeFindMillion)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SetFindMillion_Baseline(benchmark::State& state)
{
    const std::vector<int32_t>& keys = RandomKeys();
    std::set<int32_t> s(keys.begin(), keys.end());
    for (auto _ : state) {
        int64_t found = 0;
        for (int32_t k : keys) found += s.count(k);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kKeys);
}
BENCHMARK(BM_SetFindMillion_Baseline)->Unit(benchmark::kMillisecond)->Iterations(5);

// The tree written back and the store closed; each iteration reopens it and looks up
// every key (the first touch of each node reads it from the store), or inserts a
// million new keys between the stored ones.
void WriteMillionKeyTree()
{
    BenchStore store(OM_CREATE_ALWAYS);
    store.InTxn([&] {
        BPlusTree* t = store.NewTree("T");
        for (int32_t k : RandomKeys()) t->Insert(&k);
    });
}

void BM_BPlusTreeFindMillionAfterReopen(benchmark::State& state)
{
    const std::vector<int32_t>& keys = RandomKeys();
    WriteMillionKeyTree();
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchStore store(OM_OPEN_EXISTING);
            store.InTxn([&] {
                BPlusTree* t = store.Tree("T");
                state.ResumeTiming();
                int64_t found = 0;
                for (int32_t k : keys) found += t->Find(&k).m_leaf != nullptr;
                state.PauseTiming();
                if (found != kKeys) state.SkipWithError("keys lost");
            });
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kKeys);
}
BENCHMARK(BM_BPlusTreeFindMillionAfterReopen)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BPlusTreeInsertMillionAfterReopen(benchmark::State& state)
{
    const std::vector<int32_t>& keys = RandomKeys();
    WriteMillionKeyTree();
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchStore store(OM_OPEN_EXISTING);
            store.InTxn([&] {
                BPlusTree* t = store.Tree("T");
                state.ResumeTiming();
                for (int32_t k : keys) {
                    const int32_t odd = k + 1;
                    t->Insert(&odd);
                }
                state.PauseTiming();
                if (t->GetCount() != 2 * kKeys) state.SkipWithError("inserts lost");
            });
        }
        WriteMillionKeyTree(); // the next iteration starts from the same tree
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kKeys);
}
BENCHMARK(BM_BPlusTreeInsertMillionAfterReopen)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
} // namespace vorn
