// The framework heap against the C library's allocator on two workloads. Mixed: a set of
// live blocks of 16 bytes to 64 KiB (sizes spread evenly over the powers of two) in
// which a random block is freed and replaced by a new one of random size, on one
// thread and on four and eight threads at once. Handover: blocks of those sizes
// allocated on one thread and freed on another, on two and eight threads. Every block gets its first
// (and in Mixed its last) byte written.
// After the runs the program prints the ratio of the heap's time to the C library's
// (medians when run with --benchmark_repetitions).
#include "vnUtils/Heap.h"
#include <benchmark/benchmark.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// As the process heap is built: with a cache per thread.
constinit vorn::Heap g_heap{nullptr, vorn::Heap::ThreadCaching::On};

struct HeapAllocator {
    static void* Alloc(size_t n) { return g_heap.Alloc(n); }
    static void Free(void* p) { g_heap.Free(p); }
};

struct CAllocator {
    static void* Alloc(size_t n) { return std::malloc(n); }
    static void Free(void* p) { std::free(p); }
};

constexpr size_t kSlots = 2048;
constexpr size_t kOps = size_t(1) << 16;

struct Op {
    uint32_t slot;
    uint32_t size;
};

std::vector<Op> MakeOps(uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> exponent(4.0, 16.0);   // 16 B .. 64 KiB
    std::vector<Op> ops(kOps);
    for (Op& op : ops) {
        op.slot = uint32_t(rng() % kSlots);
        op.size = uint32_t(std::exp2(exponent(rng)));
    }
    return ops;
}

template <class A>
void BM_Mixed(benchmark::State& state)
{
    const std::vector<Op> ops = MakeOps(0x1234 + uint64_t(state.thread_index()));
    std::vector<char*> slots(kSlots, nullptr);
    std::vector<uint32_t> sizes(kSlots, 0);
    for (size_t i = 0; i < kSlots; ++i) {
        const uint32_t n = ops[(i * 7) % kOps].size;
        slots[i] = static_cast<char*>(A::Alloc(n));
        slots[i][0] = 1;
        slots[i][n - 1] = 1;
        sizes[i] = n;
    }
    size_t k = 0;
    uint64_t sum = 0;
    for (auto _ : state) {
        const Op op = ops[k];
        k = (k + 1) & (kOps - 1);
        char* old = slots[op.slot];
        sum += uint8_t(old[0]) + uint8_t(old[sizes[op.slot] - 1]);
        A::Free(old);
        char* p = static_cast<char*>(A::Alloc(op.size));
        p[0] = 1;
        p[op.size - 1] = 1;
        slots[op.slot] = p;
        sizes[op.slot] = op.size;
    }
    benchmark::DoNotOptimize(sum);
    for (char* p : slots) A::Free(p);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// The same on one thread of a process that has started other threads: both allocators
// then lock for every request.
template <class A>
void BM_MixedLocked(benchmark::State& state)
{
    static const bool threaded = (std::thread([] {}).join(), true);
    benchmark::DoNotOptimize(threaded);
    BM_Mixed<A>(state);
}

// Blocks handed from thread to thread: each thread fills a batch with new blocks, swaps
// it for the one waiting in the mailbox and frees the blocks of that one, which another
// thread allocated. A batch has one owner at a time (a thread or the mailbox).
struct HandoverBatch {
    static constexpr int kBlocks = 64;
    char* blocks[kBlocks];
    int count = 0;
};
std::atomic<HandoverBatch*> g_mailbox{nullptr};

template <class A>
void FreeBatch(HandoverBatch* b)
{
    for (int i = 0; i < b->count; ++i) A::Free(b->blocks[i]);
    b->count = 0;
}

template <class A>
void BM_Handover(benchmark::State& state)
{
    const std::vector<Op> ops = MakeOps(0x5678 + uint64_t(state.thread_index()));
    size_t k = 0;
    HandoverBatch* mine = new HandoverBatch;
    for (auto _ : state) {
        const uint32_t n = ops[k].size;
        k = (k + 1) & (kOps - 1);
        char* p = static_cast<char*>(A::Alloc(n));
        p[0] = 1;
        mine->blocks[mine->count++] = p;
        if (mine->count == HandoverBatch::kBlocks) {
            HandoverBatch* other = g_mailbox.exchange(mine, std::memory_order_acq_rel);
            if (other) {
                FreeBatch<A>(other);
                mine = other;
            } else {
                mine = new HandoverBatch;
            }
        }
    }
    // Each thread empties the mailbox after its last swap: the last one to finish leaves
    // it empty.
    FreeBatch<A>(mine);
    delete mine;
    if (HandoverBatch* left = g_mailbox.exchange(nullptr, std::memory_order_acq_rel)) {
        FreeBatch<A>(left);
        delete left;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// In order of registration (without random interleaving), the plain single-thread runs
// come first, while the process has no other thread: the C library and the heap both
// skip their locks then.
BENCHMARK_TEMPLATE(BM_Mixed, HeapAllocator)->Name("MixedHeap")->Threads(1)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Mixed, CAllocator)->Name("MixedMalloc")->Threads(1)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Mixed, HeapAllocator)->Name("MixedHeap")->Threads(4)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Mixed, CAllocator)->Name("MixedMalloc")->Threads(4)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Mixed, HeapAllocator)->Name("MixedHeap")->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Mixed, CAllocator)->Name("MixedMalloc")->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_MixedLocked, HeapAllocator)->Name("MixedLockedHeap")->Threads(1)->UseRealTime();
BENCHMARK_TEMPLATE(BM_MixedLocked, CAllocator)->Name("MixedLockedMalloc")->Threads(1)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Handover, HeapAllocator)->Name("HandoverHeap")->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Handover, CAllocator)->Name("HandoverMalloc")->Threads(2)->Threads(8)->UseRealTime();

// Remembers the time per operation of every run for the closing ratios: the median of
// the repetitions when there are several, else the one run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type != Run::RT_Iteration && !median) continue;
            // "<Group>Heap" against "<Group>Malloc", per thread count.
            const std::string& name = r.run_name.function_name;
            const bool heap = EndsWith(name, "Heap");
            if (!heap && !EndsWith(name, "Malloc")) continue;
            const std::string group = name.substr(0, name.size() - (heap ? 4 : 6));
            Entry& e = m_times[{group, int(r.threads)}];
            std::vector<double>& v = median ? (heap ? e.heapMedian : e.libcMedian) : (heap ? e.heap : e.libc);
            v.push_back(r.GetAdjustedRealTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const
    {
        for (const auto& [key, e] : m_times) {
            const std::vector<double>& h = e.heapMedian.empty() ? e.heap : e.heapMedian;
            const std::vector<double>& l = e.libcMedian.empty() ? e.libc : e.libcMedian;
            if (h.empty() || l.empty()) continue;
            const double heap = Median(h);
            const double libc = Median(l);
            std::printf("%s threads:%d  heap %.1f ns/op  malloc %.1f ns/op  heap/malloc time ratio %.3f\n",
                        key.first.c_str(), key.second, heap, libc, heap / libc);
        }
    }

private:
    struct Entry {
        std::vector<double> heap, libc, heapMedian, libcMedian;
    };
    static bool EndsWith(const std::string& s, const char* tail)
    {
        const size_t n = std::strlen(tail);
        return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
    }
    static double Median(std::vector<double> v)
    {
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    std::map<std::pair<std::string, int>, Entry> m_times;
};

} // namespace

// The main of the vnUtils benchmark program: runs every benchmark, then prints the
// heap-to-malloc ratios.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
