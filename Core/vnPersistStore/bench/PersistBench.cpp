// Figures of the persistent-object layer, each beside a baseline in the same run:
// the OID form against plain compressed integers, a resident bind among a million
// entries against a bare ordered-map lookup, a synchronous bind of a 20 KB object
// against reading its element alone, and background loads against synchronous binds.
#include "../tests/PersistTestUtil.h"
#include <benchmark/benchmark.h>
#include <map>
#include <random>

namespace vorn::test {
namespace {

std::vector<OID> SampleOids(size_t n)
{
    std::mt19937 rng(7);
    std::vector<OID> v;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t low = BumpSeidWord(0x01010100u + (rng() & 0x00FFFFFFu));
        v.push_back(OID(low, 0x01010101u + (rng() & 3)));
    }
    return v;
}

void BM_WriteOid(benchmark::State& state)
{
    const std::vector<OID> oids = SampleOids(1024);
    VectorOutputStream out;
    for (auto _ : state) {
        Archive ar(&out);
        for (const OID& o : oids) WriteOid(ar, o);
        benchmark::DoNotOptimize(ar.GetNumBytesBuffered());
        out.m_bytes.clear();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1024);
}
BENCHMARK(BM_WriteOid);

void BM_WriteTwoCompressedWords_Baseline(benchmark::State& state)
{
    const std::vector<OID> oids = SampleOids(1024);
    VectorOutputStream out;
    for (auto _ : state) {
        Archive ar(&out);
        for (const OID& o : oids) {
            ar.WriteCompressedUInt32(o.m_low - 0x01010100u);
            ar.WriteCompressedUInt32(o.m_high - 0x01010100u);
        }
        benchmark::DoNotOptimize(ar.GetNumBytesBuffered());
        out.m_bytes.clear();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1024);
}
BENCHMARK(BM_WriteTwoCompressedWords_Baseline);

std::vector<uint8_t> OidBlock()
{
    const std::vector<OID> oids = SampleOids(1024);
    return ArchiveBytes([&](Archive& ar) {
        for (const OID& o : oids) WriteOid(ar, o);
    });
}

void BM_ReadOid(benchmark::State& state)
{
    const std::vector<uint8_t> b = OidBlock();
    for (auto _ : state) {
        InputArchive in = InputOf(b);
        uint64_t sum = 0;
        for (int i = 0; i < 1024; ++i) {
            OID o;
            in = ReadOid(in, o);
            sum += o.m_low;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1024);
}
BENCHMARK(BM_ReadOid);

void BM_ReadTwoCompressedWords_Baseline(benchmark::State& state)
{
    const std::vector<uint8_t> b = OidBlock();
    for (auto _ : state) {
        InputArchive in = InputOf(b);
        uint64_t sum = 0;
        for (int i = 0; i < 1024; ++i) {
            uint32_t low, high;
            in = ReadCompressedUInt32FromBuffer(in, low);
            in = ReadCompressedUInt32FromBuffer(in, high);
            sum += low + high;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1024);
}
BENCHMARK(BM_ReadTwoCompressedWords_Baseline);

constexpr size_t kMillion = 1000000;

void BM_ResidentBindMillionEntries(benchmark::State& state)
{
    SpaceContext ctx;
    CSpaceLock lock(ctx.CS());
    std::vector<OID> oids;
    oids.reserve(kMillion);
    uint32_t low = 0x01010101u;
    for (size_t i = 0; i < kMillion; ++i) {
        auto* leaf = new PLeaf;
        ctx.CS()->RegisterGcObject(AnyInterface{leaf, &kPersistableTableOf<PLeaf>});
        oids.push_back(OID(low, 0x01010101u));
        leaf->m_pos.m_oid = oids.back();
        ctx.Space().GetResidentObjects().InsertResident(oids.back(), leaf->AsPersistable());
        low = BumpSeidWord(low);
    }
    std::shuffle(oids.begin(), oids.end(), std::mt19937(3));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ctx.Space().BindObject(oids[i]).m_object);
        if (++i == oids.size()) i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ResidentBindMillionEntries)->Unit(benchmark::kNanosecond);

void BM_OrderedMapLookupMillionEntries_Baseline(benchmark::State& state)
{
    std::map<OID, void*> map;
    std::vector<OID> oids;
    uint32_t low = 0x01010101u;
    for (size_t i = 0; i < kMillion; ++i) {
        oids.push_back(OID(low, 0x01010101u));
        map.emplace(oids.back(), &map);
        low = BumpSeidWord(low);
    }
    std::shuffle(oids.begin(), oids.end(), std::mt19937(3));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.find(oids[i])->second);
        if (++i == oids.size()) i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_OrderedMapLookupMillionEntries_Baseline)->Unit(benchmark::kNanosecond);

// One 20 KB node stored; returns its OID.
OID Store20KB(SpaceContext& ctx)
{
    CSpaceLock lock(ctx.CS());
    PNode* n = ctx.NewNode(1, 20 * 1024);
    ctx.Space().MakeObjectPersistWithGivenOID(n->AsPersistable(), ctx.Space().AllocateOid(), false);
    ctx.Write({n->AsPersistable()});
    const OID oid = n->m_pos.m_oid;
    ctx.Space().GetResidentObjects().RemoveResident(oid, n);
    return oid;
}

void BM_SyncBind20KB(benchmark::State& state)
{
    SpaceContext ctx;
    const OID oid = Store20KB(ctx);
    CSpaceLock lock(ctx.CS());
    int64_t n = 0;
    for (auto _ : state) {
        const IPersistablePtr p = ctx.Space().BindObject(oid);
        ctx.Space().GetResidentObjects().RemoveResident(oid, p.m_object);
        if (++n % 1000 == 0) {
            state.PauseTiming();
            ctx.CS()->SynchronousGc();
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 20 * 1024);
}
BENCHMARK(BM_SyncBind20KB)->Unit(benchmark::kMicrosecond);

void BM_Read20KBElement_Baseline(benchmark::State& state)
{
    SpaceContext ctx;
    const OID oid = Store20KB(ctx);
    for (auto _ : state) {
        IContiguousSerialElement* e = ctx.m_lss->GetContiguousSerialElement(oid.AsSeid());
        int64_t length = 0;
        benchmark::DoNotOptimize(e->GetBuffer(length));
        e->Release();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 20 * 1024);
}
BENCHMARK(BM_Read20KBElement_Baseline)->Unit(benchmark::kMicrosecond);

constexpr int kBatch = 1000;

std::vector<OID> StoreNodes(SpaceContext& ctx, int n)
{
    CSpaceLock lock(ctx.CS());
    std::vector<OID> oids;
    for (int i = 0; i < n; ++i) {
        PNode* node = ctx.NewNode(uint32_t(i), 256);
        ctx.Space().MakeObjectPersistWithGivenOID(node->AsPersistable(), ctx.Space().AllocateOid(), false);
        ctx.Write({node->AsPersistable()});
        oids.push_back(node->m_pos.m_oid);
    }
    ctx.CS()->SynchronousGc(); // nothing resident
    return oids;
}

void BM_AsyncLoads(benchmark::State& state)
{
    SpaceContext ctx;
    const std::vector<OID> oids = StoreNodes(ctx, kBatch);
    for (auto _ : state) {
        std::vector<std::unique_ptr<Asker>> askers;
        {
            CSpaceLock lock(ctx.CS());
            for (const OID& oid : oids) {
                askers.push_back(std::make_unique<Asker>(ctx.Space(), oid));
                askers.back()->EvaluateIfNeeded();
            }
        }
        ctx.Space().GetResidentObjects().WaitForLoads();
        state.PauseTiming();
        {
            CSpaceLock lock(ctx.CS());
            askers.clear();
        }
        ctx.CS()->SynchronousGc();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBatch);
}
BENCHMARK(BM_AsyncLoads)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SyncBinds_Baseline(benchmark::State& state)
{
    SpaceContext ctx;
    const std::vector<OID> oids = StoreNodes(ctx, kBatch);
    for (auto _ : state) {
        {
            CSpaceLock lock(ctx.CS());
            for (const OID& oid : oids) benchmark::DoNotOptimize(ctx.Space().BindObject(oid).m_object);
        }
        state.PauseTiming();
        ctx.CS()->SynchronousGc();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBatch);
}
BENCHMARK(BM_SyncBinds_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace vorn::test

BENCHMARK_MAIN();
