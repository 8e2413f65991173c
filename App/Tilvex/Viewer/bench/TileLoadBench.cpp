// Loading tiles as the viewer does: a store with the builder's settings holds a pyramid
// of 341 tiles of about 20 KB (JPEG); each iteration opens it afresh (outside the
// timing), so that every segment is read from the file once, and binds every tile node
// from the store (decode 0), or binds and decodes every tile (decode 1). The check
// argument: 1 with the flush units of the segments read checked against their CRCs (the
// store's default), 0 without, beside it in the same run.
#include "Tilvex/Model/TilvexStoreSettings.h"
#include "Tilvex/Model/tests/ModelTestSupport.h"
#include "vnLss/SegmentCache.h"
#include <benchmark/benchmark.h>
#include <random>

using namespace vorn;

namespace {

constexpr int32_t kLevels = 5; // 1 + 4 + 16 + 64 + 256 tiles

// A photo-like tile: a gradient with some noise, so that its JPEG is about as large as a
// real tile's.
xvector<uint8_t> TileBytes(std::mt19937& rng)
{
    ResDIB dib;
    dib.Create(24, kTileSize, kTileSize);
    const int32_t base = int32_t(rng() % 128);
    for (int32_t y = 0; y < kTileSize; ++y) {
        uint8_t* row = dib.GetImageRow(y);
        for (int32_t x = 0; x < 3 * kTileSize; ++x) row[x] = uint8_t(base + (x + y) / 8 + int32_t(rng() % 24));
    }
    JpegImage jpeg;
    EncodeJpegImage(dib, jpeg);
    return jpeg.m_bytes;
}

TilvexNode* Build(int32_t level, std::mt19937& rng)
{
    TilvexNode* n = NewTilvexNode();
    xvector<uint8_t> bytes = TileBytes(rng);
    n->TakeJpegBytes(bytes);
    if (level < kLevels)
        for (int i = 0; i < 4; ++i) n->SetChild(i % 2, i / 2, Build(level + 1, rng));
    return n;
}

struct Store {
    Store() : m_path((test::FreshFolder() / "tiles.tvx").string())
    {
        test::StoreSession session(m_path, OM_CREATE_ALWAYS, TilvexStoreSettings());
        Tilvex* image = session.Root();
        ModelTransaction txn;
        std::mt19937 rng(5);
        image->SetRootNode(Build(1, rng));
    }
    std::string m_path;
};

Store& TheStore()
{
    static Store s;
    return s;
}

int64_t Load(TilvexNode* n, bool decode)
{
    if (n == nullptr) return 0;
    if (decode) benchmark::DoNotOptimize(n->GetDib().IsEmpty());
    int64_t count = 1;
    for (int i = 0; i < 4; ++i) count += Load(n->GetChild(i % 2, i / 2), decode);
    return count;
}

void BM_LoadTiles(benchmark::State& state)
{
    const bool decode = state.range(0) != 0;
    SegmentCache::SetCheckUnitsOnLoad(state.range(1) != 0);
    const std::string& path = TheStore().m_path;
    int64_t tiles = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            test::StoreSession session(path, OM_OPEN_EXISTING, TilvexStoreSettings());
            Tilvex* image = session.Root();
            state.ResumeTiming();
            {
                ModelTransaction txn;
                tiles += Load(image->GetRootNode(), decode);
            }
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    SegmentCache::SetCheckUnitsOnLoad(true);
    state.SetItemsProcessed(tiles);
}
BENCHMARK(BM_LoadTiles)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"decode", "check"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
