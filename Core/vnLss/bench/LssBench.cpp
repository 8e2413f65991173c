// Commit throughput, read latency and the raw write speed of the file system beneath.
// The store files go to VORN_LSS_BENCH_DIR (default: the current directory), which
// should be a real disk, not tmpfs.
#include "vnLss/LSS.h"
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace vorn;

namespace {

std::string BenchPath(const char* name)
{
    const char* dir = std::getenv("VORN_LSS_BENCH_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

std::vector<uint8_t> Bytes(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 131 + 7);
    return v;
}

LssSettings BenchSettings()
{
    LssSettings s;
    s.m_flushTimeMilliSec = 10000;
    s.m_maxNumSegmentsInCache = 512;
    s.m_numSegmentsPerCheckPoint = 256;
    return s;
}

void WriteOne(ILogStructuredStore* lss, Seid s, const std::vector<uint8_t>& b, bool flush)
{
    ILssTransaction* t = lss->OpenTransaction();
    ICloseableOutputStream* w = t->WriteSerialElement(s.m_low, s.m_high);
    w->WriteStream(b.data(), ssize_t(b.size()));
    w->Close();
    if (flush) t->FlushWhenClose();
    t->Close();
}

// One iteration: a batch of transactions of ~8 MB (or 2048 transactions) and a flush,
// so the time includes getting the bytes into the file. The second argument: 1 with
// the bound of the log after the last check point (transactions wait for the check
// point there), 0 without it, as stores were before the bound; the 8-segment variants
// take a check point every 4 MB, so that the bound is met.
void BM_Commit(benchmark::State& state)
{
    const size_t size = size_t(state.range(0));
    const std::string path = BenchPath("bench-commit.lss");
    bool created;
    LssSettings s = BenchSettings();
    if (state.range(2) != 0) s.m_numSegmentsPerCheckPoint = int32_t(state.range(2));
    LSS* lss = static_cast<LSS*>(OpenLSS(path.c_str(), nullptr, &created, OM_CREATE_ALWAYS, &s));
    if (state.range(1) == 0) lss->SetLogBoundForTests(0);
    const SeidHigh h = lss->AllocateSeidHigh();
    const std::vector<uint8_t> b = Bytes(size);
    size_t batch = (8u << 20) / (size ? size : 1);
    if (batch > 2048) batch = 2048;
    if (batch < 1) batch = 1;
    std::vector<Seid> seids;
    for (size_t i = 0; i < batch; ++i) seids.push_back(lss->AllocateSeid(h));
    int64_t txns = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < batch; ++i) WriteOne(lss, seids[i], b, false);
        lss->Flush();
        txns += int64_t(batch);
    }
    state.SetBytesProcessed(txns * int64_t(size));
    state.SetItemsProcessed(txns);
    state.counters["txn/s"] = benchmark::Counter(double(txns), benchmark::Counter::kIsRate);
    lss->Close();
    std::remove(path.c_str());
}
BENCHMARK(BM_Commit)
    ->ArgsProduct({{256, 20 * 1024, 1 << 20}, {0, 1}, {0, 8}})
    ->ArgNames({"size", "bound", "segsPerCp"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Every transaction flushed and synced on close.
void BM_CommitDurable(benchmark::State& state)
{
    const size_t size = size_t(state.range(0));
    const std::string path = BenchPath("bench-durable.lss");
    bool created;
    LssSettings s = BenchSettings();
    ILogStructuredStore* lss = OpenLSS(path.c_str(), nullptr, &created, OM_CREATE_ALWAYS, &s);
    const SeidHigh h = lss->AllocateSeidHigh();
    const Seid id = lss->AllocateSeid(h);
    const std::vector<uint8_t> b = Bytes(size);
    int64_t txns = 0;
    for (auto _ : state) {
        WriteOne(lss, id, b, true);
        ++txns;
    }
    state.SetBytesProcessed(txns * int64_t(size));
    state.counters["txn/s"] = benchmark::Counter(double(txns), benchmark::Counter::kIsRate);
    lss->Close();
    std::remove(path.c_str());
}
BENCHMARK(BM_CommitDurable)->Arg(256)->Arg(20 * 1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Reading a 20 KB element: warm (its segment cached) and cold (the cache holds 4
// segments and the reads cycle over 8). The second argument: 1 with the flush units of
// every segment read from the file checked against their CRCs, 0 without (the baseline).
void BM_Read20K(benchmark::State& state)
{
    const bool cold = state.range(0) != 0;
    SegmentCache::SetCheckUnitsOnLoad(state.range(1) != 0);
    const std::string path = BenchPath("bench-read.lss");
    bool created;
    LssSettings s = BenchSettings();
    ILogStructuredStore* lss = OpenLSS(path.c_str(), nullptr, &created, OM_CREATE_ALWAYS, &s);
    const SeidHigh h = lss->AllocateSeidHigh();
    const std::vector<uint8_t> b = Bytes(20 * 1024);
    std::vector<Seid> seids;
    for (int i = 0; i < 208; ++i) {
        seids.push_back(lss->AllocateSeid(h));
        WriteOne(lss, seids.back(), b, i == 207);
    }
    if (cold) {
        // Reopened with a cache of 4 segments: every read of the cycle misses it.
        lss->Close();
        s.m_maxNumSegmentsInCache = 4;
        lss = OpenLSS(path.c_str(), nullptr, &created, OM_OPEN_EXISTING, &s);
    }
    size_t k = 0;
    for (auto _ : state) {
        const Seid id = cold ? seids[(k * 26) % seids.size()] : seids[0];
        ++k;
        IContiguousSerialElement* e = lss->GetContiguousSerialElement(id);
        int64_t n = 0;
        benchmark::DoNotOptimize(e->GetBuffer(n));
        e->Release();
    }
    lss->Close();
    std::remove(path.c_str());
    SegmentCache::SetCheckUnitsOnLoad(true);
}
BENCHMARK(BM_Read20K)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"cold", "check"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The same bytes written straight to a file in 512 KB writes (no store).
void BM_RawWrite512K(benchmark::State& state)
{
    const std::string path = BenchPath("bench-raw.bin");
    LssSettings s = BenchSettings();
    IRAS* ras = OpenRAS(path.c_str(), OM_CREATE_ALWAYS, s);
    const uint32_t chunk = 512 * 1024;
    void* buf = ras->AllocBuffer(chunk);
    std::memcpy(buf, Bytes(chunk).data(), chunk);
    // The file grows as the store's does; it is cut back every 256 MB.
    const uint64_t span = 256ull << 20;
    uint64_t at = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        for (int i = 0; i < 16; ++i) { // 8 MB per iteration, as a commit batch
            ras->Write(buf, 65536 + at, chunk);
            at += chunk;
            bytes += chunk;
        }
        if (at >= span) {
            state.PauseTiming();
            ras->SetSize(65536);
            at = 0;
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(bytes);
    ras->FreeBuffer(buf);
    ras->Close();
    delete ras;
    std::remove(path.c_str());
}
BENCHMARK(BM_RawWrite512K)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
