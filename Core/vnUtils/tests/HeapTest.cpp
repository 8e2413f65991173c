#include "vnUtils/Heap.h"
#include "vnPlatform/Memory.h"
#include "vnUtils/Memory.h"
#include "vnUtils/XVector.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

using namespace vorn;

namespace {

constexpr size_t kPage = 4096;

// Pages for a heap from one big test-owned range, handed out in a chosen order so that
// every way a new mapping can meet the heap's segments shows up: growing the top's
// segment upwards, joining in front of a segment, or lying apart. It checks that the
// heap unmaps only what it mapped, can refuse beyond a limit, and fills new pages with
// junk so that nothing relies on zeroed memory.
class TestPages {
public:
    enum class Order { Ascending, Descending, Apart };

    explicit TestPages(Order order, size_t arenaBytes = size_t(256) << 20)
        : m_order(order), m_pages(arenaBytes / kPage, 0)
    {
        m_arena = static_cast<char*>(MapSystemPages(arenaBytes));
        m_bytes = arenaBytes;
        m_iface = HeapPages{&Map, &Unmap, &PageSize, this};
    }
    ~TestPages() { UnmapSystemPages(m_arena, m_bytes); }

    const HeapPages* Interface() const { return &m_iface; }
    size_t Mapped() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_mapped;
    }
    int Errors() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_errors;
    }
    size_t Maps() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_maps;
    }
    void SetLimit(size_t bytes)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_limit = bytes;
    }
    // Called from inside the heap's map callback (for the re-entrance test).
    void (*onMap)(void* arg) = nullptr;
    void* onMapArg = nullptr;

private:
    static size_t PageSize(void*) { return kPage; }

    static void* Map(void* ctx, void* at, size_t bytes)
    {
        auto* self = static_cast<TestPages*>(ctx);
        if (self->onMap) self->onMap(self->onMapArg);
        return self->DoMap(static_cast<char*>(at), bytes);
    }
    static bool Unmap(void* ctx, void* p, size_t bytes)
    {
        return static_cast<TestPages*>(ctx)->DoUnmap(static_cast<char*>(p), bytes);
    }

    bool RunFree(size_t first, size_t count) const
    {
        if (first + count > m_pages.size()) return false;
        for (size_t i = 0; i < count; ++i)
            if (m_pages[first + i]) return false;
        return true;
    }

    // The first page of the lowest (or highest) run of `count` free pages; the size of
    // the arena when there is none.
    size_t FindRun(size_t count, bool fromTop) const
    {
        const size_t total = m_pages.size();
        size_t run = 0;
        if (!fromTop) {
            for (size_t i = 0; i < total; ++i) {
                run = m_pages[i] ? 0 : run + 1;
                if (run == count) return i + 1 - count;
            }
        } else {
            for (size_t i = total; i-- > 0;) {
                run = m_pages[i] ? 0 : run + 1;
                if (run == count) return i;
            }
        }
        return total;
    }

    char* DoMap(char* at, size_t bytes)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (bytes == 0 || bytes % kPage) {
            ++m_errors;
            return nullptr;
        }
        if (m_mapped + bytes > m_limit) return nullptr;
        const size_t n = bytes / kPage;
        const size_t total = m_pages.size();
        size_t first = total;
        if (at) {
            if (m_order == Order::Apart || at < m_arena || at >= m_arena + m_bytes) return nullptr;
            const size_t idx = size_t(at - m_arena) / kPage;
            if (!RunFree(idx, n)) return nullptr;
            first = idx;
        } else if (m_order == Order::Apart) {
            // A free page on either side: never adjacent to another mapping.
            first = FindRun(n + 2, false);
            if (first != total) ++first;
        } else {
            first = FindRun(n, m_order == Order::Descending);
        }
        if (first == total) return nullptr;
        std::fill(m_pages.begin() + ptrdiff_t(first), m_pages.begin() + ptrdiff_t(first + n), uint8_t(1));
        m_mapped += bytes;
        ++m_maps;
        char* p = m_arena + first * kPage;
        std::memset(p, 0xA5, bytes);
        return p;
    }

    bool DoUnmap(char* p, size_t bytes)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (p < m_arena || p + bytes > m_arena + m_bytes || size_t(p - m_arena) % kPage || bytes % kPage) {
            ++m_errors;
            return false;
        }
        const size_t first = size_t(p - m_arena) / kPage;
        for (size_t i = 0; i < bytes / kPage; ++i) {
            if (!m_pages[first + i]) {
                ++m_errors;   // unmapping a page that is not mapped
                return false;
            }
        }
        for (size_t i = 0; i < bytes / kPage; ++i) m_pages[first + i] = 0;
        m_mapped -= bytes;
        std::memset(p, 0xDD, bytes);   // what a stale reader would see
        return true;
    }

    Order m_order;
    char* m_arena = nullptr;
    size_t m_bytes = 0;
    std::vector<uint8_t> m_pages;
    size_t m_mapped = 0;
    size_t m_maps = 0;
    size_t m_limit = ~size_t(0);
    int m_errors = 0;
    mutable std::mutex m_mutex;
    HeapPages m_iface{};
};

// A heap on test pages, released at the end.
struct TestHeap {
    explicit TestHeap(TestPages::Order order, Heap::ThreadCaching caching = Heap::ThreadCaching::Off)
        : pages(order), heap(pages.Interface(), caching) {}
    ~TestHeap() { heap.ReleaseAll(); }
    TestPages pages;
    Heap heap;
};

// Fills and checks a block with a pattern that depends on its seed and position.
void Fill(void* p, size_t n, uint64_t seed)
{
    auto* b = static_cast<unsigned char*>(p);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull | 1;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = x ^ (i * 0xD6E8FEB86659FD93ull);
        std::memcpy(b + i, &w, 8);
    }
    for (; i < n; ++i) b[i] = static_cast<unsigned char>(x >> (i % 8 * 8));
}

bool Holds(const void* p, size_t n, uint64_t seed)
{
    const auto* b = static_cast<const unsigned char*>(p);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull | 1;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = x ^ (i * 0xD6E8FEB86659FD93ull);
        if (std::memcmp(b + i, &w, 8) != 0) return false;
    }
    for (; i < n; ++i)
        if (b[i] != static_cast<unsigned char>(x >> (i % 8 * 8))) return false;
    return true;
}

bool Aligned(const void* p) { return reinterpret_cast<uintptr_t>(p) % Heap::kAlignment == 0; }

// Request sizes of every kind: mostly small, some medium, a few with their own mapping.
size_t RandomSize(std::mt19937_64& rng)
{
    const unsigned kind = unsigned(rng() % 100);
    if (kind < 60) return size_t(rng() % 520);
    if (kind < 85) return size_t(rng() % 8192);
    if (kind < 97) return size_t(rng() % 70000);
    return size_t(200000 + rng() % 400000);
}

struct Block {
    size_t size;
    uint64_t seed;
};

// Live blocks by address; each new one must not overlap its neighbours.
class Shadow {
public:
    ::testing::AssertionResult Add(void* p, size_t n, uint64_t seed)
    {
        const auto a = reinterpret_cast<uintptr_t>(p);
        auto it = m_blocks.lower_bound(a);
        if (it != m_blocks.end() && it->first < a + std::max<size_t>(n, 1))
            return ::testing::AssertionFailure() << "block overlaps the next one";
        if (it != m_blocks.begin()) {
            auto prev = std::prev(it);
            if (prev->first + std::max<size_t>(prev->second.size, 1) > a)
                return ::testing::AssertionFailure() << "block overlaps the previous one";
        }
        m_blocks.emplace(a, Block{n, seed});
        return ::testing::AssertionSuccess();
    }
    std::map<uintptr_t, Block>& Blocks() { return m_blocks; }

private:
    std::map<uintptr_t, Block> m_blocks;
};

} // namespace

// ---- single requests ----------------------------------------------------------------------

TEST(Heap, EdgeRequests)
{
    TestHeap t(TestPages::Order::Ascending);
    Heap& h = t.heap;
    void* a = h.Alloc(0);
    void* b = h.Alloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(Aligned(a) && Aligned(b));
    EXPECT_GE(h.UsableSize(a), 16u);   // a minimum chunk
    EXPECT_EQ(h.Alloc(Heap::kMaxRequest), nullptr);
    EXPECT_EQ(h.Alloc(~size_t(0)), nullptr);
    EXPECT_EQ(h.Alloc(Heap::kMaxRequest - 1), nullptr);   // the system refuses
    EXPECT_EQ(h.Alloc(size_t(1) << 62), nullptr);
    h.Free(nullptr);
    h.Free(a);
    h.Free(b);
    EXPECT_EQ(h.Check(), nullptr);
    EXPECT_EQ(t.pages.Errors(), 0);
}

TEST(Heap, UsableSizeCoversTheRequest)
{
    TestHeap t(TestPages::Order::Ascending);
    std::vector<void*> live;
    for (size_t n = 0; n <= 2100; ++n) {
        void* p = t.heap.Alloc(n);
        ASSERT_NE(p, nullptr);
        ASSERT_TRUE(Aligned(p)) << n;
        ASSERT_GE(t.heap.UsableSize(p), n);
        // Small requests waste less than one alignment unit beyond the size word.
        ASSERT_LT(t.heap.UsableSize(p), std::max<size_t>(n, 24) + Heap::kAlignment) << n;
        live.push_back(p);
    }
    for (size_t i = 0; i < live.size(); i += 2) t.heap.Free(live[i]);
    for (size_t n = 0; n <= 2100; n += 7) {
        void* p = t.heap.Alloc(n);
        ASSERT_TRUE(Aligned(p));
        live.push_back(p);
    }
    EXPECT_EQ(t.heap.Check(), nullptr);
    for (size_t i = 1; i < live.size(); i += (i < 2101 ? 2 : 1)) t.heap.Free(live[i]);
    EXPECT_EQ(t.heap.Check(), nullptr);
}

TEST(Heap, NeighboursFreedInOrderCoalesce)
{
    TestHeap t(TestPages::Order::Ascending);
    Heap& h = t.heap;
    void* a = h.Alloc(1000);
    void* b = h.Alloc(3000);
    void* guard = h.Alloc(100);   // keeps b away from the top
    ASSERT_EQ(static_cast<char*>(b), static_cast<char*>(a) + h.UsableSize(a) + 8);
    const size_t footprint = h.Stats().footprint;
    const size_t combined = h.UsableSize(a) + 8 + h.UsableSize(b);
    h.Free(a);
    h.Free(b);
    EXPECT_EQ(h.Check(), nullptr);
    void* c = h.Alloc(combined);
    EXPECT_EQ(c, a);
    EXPECT_EQ(h.Stats().footprint, footprint);
    h.Free(c);
    h.Free(guard);
    EXPECT_EQ(h.Check(), nullptr);
}

TEST(Heap, SmallRequestsReuseExactSizes)
{
    TestHeap t(TestPages::Order::Ascending);
    Heap& h = t.heap;
    std::vector<void*> blocks;
    for (int i = 0; i < 64; ++i) blocks.push_back(h.Alloc(100));
    // Freed every other one: each stays a chunk of its own and is handed out again.
    for (size_t i = 0; i < blocks.size(); i += 2) h.Free(blocks[i]);
    std::vector<void*> again;
    for (size_t i = 0; i < blocks.size(); i += 2) again.push_back(h.Alloc(100));
    std::sort(again.begin(), again.end());
    std::vector<void*> freed;
    for (size_t i = 0; i < blocks.size(); i += 2) freed.push_back(blocks[i]);
    std::sort(freed.begin(), freed.end());
    EXPECT_EQ(again, freed);
    EXPECT_EQ(h.Check(), nullptr);
}

TEST(Heap, LargeRequestsTakeTheBestFit)
{
    std::mt19937_64 rng(3);
    for (int round = 0; round < 20; ++round) {
        TestHeap t(TestPages::Order::Ascending);
        Heap& h = t.heap;
        // Free chunks of many sizes, each between two live guards, all carved from the
        // top so that no designated victim competes.
        std::vector<std::pair<void*, size_t>> freeChunks;
        std::vector<void*> guards;
        for (int i = 0; i < 60; ++i) {
            const size_t n = 520 + size_t(rng() % 20000);
            void* p = h.Alloc(n);
            guards.push_back(h.Alloc(16));
            freeChunks.push_back({p, h.UsableSize(p)});
        }
        for (auto& c : freeChunks) h.Free(c.first);
        for (int k = 0; k < 20; ++k) {
            const size_t n = 500 + size_t(rng() % 20000);
            // The smallest free chunk that holds n bytes.
            auto best = freeChunks.end();
            for (auto it = freeChunks.begin(); it != freeChunks.end(); ++it)
                if (it->second >= n && (best == freeChunks.end() || it->second < best->second)) best = it;
            if (best == freeChunks.end()) continue;
            void* p = h.Alloc(n);
            const size_t fitted = best->second;
            bool sameSize = false;   // chunks of equal size are equally good
            for (auto& c : freeChunks) sameSize |= c.first == p && c.second == fitted;
            ASSERT_TRUE(sameSize) << "request " << n << " did not get the " << fitted << "-byte chunk";
            for (auto it = freeChunks.begin(); it != freeChunks.end(); ++it)
                if (it->first == p) {
                    freeChunks.erase(it);
                    break;
                }
            // The rest of the chunk stays free behind the block.
            const size_t nb = (n + 8 + 15) & ~size_t(15);
            if (fitted + 8 - nb >= Heap::kMinChunk)
                freeChunks.push_back({static_cast<char*>(p) + nb, fitted - nb});
            guards.push_back(p);
        }
        ASSERT_EQ(h.Check(), nullptr);
        (void)guards;
    }
}

// ---- system memory ------------------------------------------------------------------------

TEST(Heap, LargeRequestsGetTheirOwnMapping)
{
    TestHeap t(TestPages::Order::Ascending);
    Heap& h = t.heap;
    // The very first request makes the first segment, whatever its size.
    void* first = h.Alloc(Heap::kMapThreshold + 1000);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(h.Stats().mappedBlocks, 0u);
    const HeapStats before = h.Stats();
    const size_t pagesBefore = t.pages.Mapped();

    void* big = h.Alloc(Heap::kMapThreshold);
    void* bigger = h.Alloc(3 << 20);
    ASSERT_NE(big, nullptr);
    ASSERT_NE(bigger, nullptr);
    EXPECT_TRUE(Aligned(big) && Aligned(bigger));
    HeapStats s = h.Stats();
    EXPECT_EQ(s.mappedBlocks, 2u);
    EXPECT_GE(s.mappedBytes, Heap::kMapThreshold + (3u << 20));
    EXPECT_EQ(s.footprint, before.footprint + s.mappedBytes);
    EXPECT_EQ(s.segments, before.segments);
    EXPECT_EQ(t.pages.Mapped(), pagesBefore + s.mappedBytes);
    Fill(bigger, 3 << 20, 7);
    EXPECT_TRUE(Holds(bigger, 3 << 20, 7));
    EXPECT_EQ(h.Check(), nullptr);

    h.Free(big);
    h.Free(bigger);
    s = h.Stats();
    EXPECT_EQ(s.mappedBlocks, 0u);
    EXPECT_EQ(s.footprint, before.footprint);
    EXPECT_EQ(t.pages.Mapped(), pagesBefore);

    // Below the threshold a request stays in the segments.
    void* medium = h.Alloc(Heap::kMapThreshold - 100);
    EXPECT_EQ(h.Stats().mappedBlocks, 0u);
    h.Free(medium);
    h.Free(first);
    EXPECT_EQ(h.Check(), nullptr);
    EXPECT_EQ(t.pages.Errors(), 0);
}

TEST(Heap, SystemPagesGrowInPlaceAndNeverReplace)
{
    const size_t page = SystemPageSize();
    ASSERT_TRUE(page >= 4096 && (page & (page - 1)) == 0);
    const size_t bytes = 16 * page;
    char* p = static_cast<char*>(MapSystemPagesWithRoom(bytes, size_t(64) << 20));
    ASSERT_NE(p, nullptr);
    p[0] = 1;
    p[bytes - 1] = 2;
    // Mapped addresses are never taken again; the room behind the pages is free.
    EXPECT_EQ(MapSystemPagesAt(p, page), nullptr);
    EXPECT_EQ(MapSystemPagesAt(p + bytes - page, 2 * page), nullptr);
    char* more = static_cast<char*>(MapSystemPagesAt(p + bytes, bytes));
    ASSERT_EQ(more, p + bytes);
    more[bytes - 1] = 3;
    EXPECT_EQ(p[0], 1);
    // Give back the tail, then all of it at once (two mappings).
    EXPECT_TRUE(UnmapSystemPages(more + bytes - page, page));
    EXPECT_TRUE(UnmapSystemPages(p, 2 * bytes - page));
}

TEST(Heap, LargeRequestsReturnToTheSystem)
{
    Heap h;   // the operating system's pages
    void* small = h.Alloc(64);
    const size_t footprint = h.Stats().footprint;
    for (int i = 0; i < 20; ++i) {
        const size_t n = (size_t(1) << 20) * size_t(1 + i % 5);
        char* p = static_cast<char*>(h.Alloc(n));
        ASSERT_NE(p, nullptr);
        p[0] = 1;
        p[n - 1] = 2;
        EXPECT_GE(h.Stats().footprint, footprint + n);
        h.Free(p);
        EXPECT_EQ(h.Stats().footprint, footprint);
    }
    EXPECT_EQ(h.Stats().maxFootprint >= footprint + (5u << 20), true);
    h.Free(small);
    EXPECT_EQ(h.Check(), nullptr);
    h.ReleaseAll();
}

TEST(Heap, TrimsTheTop)
{
    TestHeap t(TestPages::Order::Ascending);
    Heap& h = t.heap;
    std::vector<void*> blocks;
    for (int i = 0; i < 100; ++i) {
        blocks.push_back(h.Alloc(60000));
        ASSERT_NE(blocks.back(), nullptr);
    }
    HeapStats s = h.Stats();
    EXPECT_EQ(s.segments, 1u);   // each new mapping grew the top's segment
    EXPECT_GE(s.footprint, 100u * 60000u);
    // Freed from the end, the blocks fall into the top, which is trimmed whenever it
    // grows past the threshold.
    while (!blocks.empty()) {
        h.Free(blocks.back());
        blocks.pop_back();
        ASSERT_LE(h.Stats().topSize, Heap::kTrimThreshold + 60016);
    }
    s = h.Stats();
    EXPECT_LE(s.footprint, Heap::kTrimThreshold + Heap::kGranularity);
    EXPECT_GE(s.maxFootprint, 100u * 60000u);
    EXPECT_EQ(t.pages.Mapped(), s.footprint);
    EXPECT_EQ(h.Check(), nullptr);

    // Trimmed memory can be had again.
    void* p = h.Alloc(3 << 19);
    ASSERT_NE(p, nullptr);
    h.Free(p);
    EXPECT_EQ(h.Check(), nullptr);
    EXPECT_EQ(t.pages.Errors(), 0);
}

TEST(Heap, TrimsTheTopOnSystemPages)
{
    Heap h;
    std::vector<void*> blocks;
    for (int i = 0; i < 100; ++i) blocks.push_back(h.Alloc(60000));
    const size_t grown = h.Stats().footprint;
    while (!blocks.empty()) {
        h.Free(blocks.back());
        blocks.pop_back();
    }
    EXPECT_LT(h.Stats().footprint, grown);
    EXPECT_LE(h.Stats().topSize, Heap::kTrimThreshold);
    EXPECT_EQ(h.Check(), nullptr);
    h.ReleaseAll();
}

TEST(Heap, ReleasesWhollyFreeSegments)
{
    TestHeap t(TestPages::Order::Apart);
    Heap& h = t.heap;
    std::vector<void*> blocks;
    for (int i = 0; i < 30; ++i) blocks.push_back(h.Alloc(60000));
    EXPECT_EQ(h.Stats().segments, 30u);   // no mapping meets another
    for (void* p : blocks) h.Free(p);
    EXPECT_EQ(h.Check(), nullptr);
    const size_t footprint = h.Stats().footprint;
    // Large chunks going into the tree bins count down to the next release check.
    for (int i = 0; i < 4200; ++i) {
        void* a = h.Alloc(600);
        void* guard = h.Alloc(16);
        h.Free(a);
        h.Free(guard);
    }
    const HeapStats s = h.Stats();
    EXPECT_LT(s.segments, 3u);
    EXPECT_LT(s.footprint, footprint);
    EXPECT_EQ(t.pages.Mapped(), s.footprint);
    EXPECT_EQ(h.Check(), nullptr);
    EXPECT_EQ(t.pages.Errors(), 0);
}

TEST(Heap, RefusedMemoryFailsCleanly)
{
    TestHeap t(TestPages::Order::Descending);
    Heap& h = t.heap;
    t.pages.SetLimit(size_t(4) << 20);
    std::vector<void*> blocks;
    for (;;) {
        void* p = h.Alloc(5000);
        if (!p) break;
        blocks.push_back(p);
        ASSERT_LT(blocks.size(), 2000u);
    }
    EXPECT_GT(blocks.size(), 500u);
    EXPECT_EQ(h.Alloc(Heap::kMapThreshold), nullptr);
    EXPECT_LE(t.pages.Mapped(), size_t(4) << 20);
    EXPECT_EQ(h.Check(), nullptr);
    // After freeing, the same memory serves again.
    for (size_t i = 0; i < blocks.size(); i += 2) h.Free(blocks[i]);
    for (size_t i = 0; i < blocks.size(); i += 2) {
        blocks[i] = h.Alloc(4000);
        ASSERT_NE(blocks[i], nullptr);
    }
    EXPECT_EQ(h.Check(), nullptr);
    for (void* p : blocks) h.Free(p);
    EXPECT_EQ(h.Check(), nullptr);
}

TEST(Heap, FrameworkAllocatorFailsWithNullOrBadAlloc)
{
    EXPECT_EQ(MemAlloc(size_t(1) << 50), nullptr);
    EXPECT_EQ(MemAlloc(~size_t(0)), nullptr);
    EXPECT_THROW(MemAllocOrThrow(size_t(1) << 50), std::bad_alloc);
    void* p = MemAlloc(0);
    EXPECT_NE(p, nullptr);
    EXPECT_TRUE(Aligned(p));
    MemFree(p);
    MemFree(nullptr);
}

TEST(Heap, ProcessHeapIsBehindTheContainers)
{
    Heap* heap = ProcessHeap();
    if (!heap) GTEST_SKIP() << "MemAlloc uses the C library in this build";
    xvector<int> v;
    for (int i = 0; i < 10000; ++i) v.push_back(i);
    EXPECT_TRUE(Aligned(v.data()));
    EXPECT_GE(heap->UsableSize(v.data()), size_t(v.capacity()) * sizeof(int));
    EXPECT_GT(heap->Stats().footprint, 0u);
    EXPECT_EQ(heap->Check(), nullptr);
}

// The heap asks for pages without holding its lock: the page source may call the heap
// (here for its statistics) while the heap waits for it, also from another thread.
TEST(Heap, PageSourceMayUseTheHeap)
{
    std::thread([] {}).join();   // the lock is only taken once the process has threads
    TestHeap t(TestPages::Order::Ascending);
    struct Probe {
        Heap* heap;
        size_t calls = 0;
    } probe{&t.heap};
    t.pages.onMapArg = &probe;
    t.pages.onMap = [](void* arg) {
        auto* pr = static_cast<Probe*>(arg);
        ++pr->calls;
        (void)pr->heap->Stats();
        std::thread([pr] { (void)pr->heap->Stats(); }).join();
    };
    void* p = t.heap.Alloc(100);
    void* q = t.heap.Alloc(1 << 20);
    EXPECT_NE(p, nullptr);
    EXPECT_NE(q, nullptr);
    EXPECT_GE(probe.calls, 2u);
    t.heap.Free(q);
    t.heap.Free(p);
    t.pages.onMap = nullptr;
}

TEST(HeapDeathTest, InvalidFreesAbort)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Heap h;
            void* p = h.Alloc(100);
            void* q = h.Alloc(100);
            h.Free(p);
            h.Free(p);
            h.Free(q);
        },
        "vorn heap");
    EXPECT_DEATH(
        {
            Heap h;
            void* p = h.Alloc(1 << 20);   // the first segment
            void* q = h.Alloc(1 << 20);   // a mapping of its own
            h.Free(static_cast<char*>(q) + 16);
            h.Free(p);
        },
        "vorn heap");
}

// ---- thread caches ------------------------------------------------------------------------

// A freed block waits in its thread's cache and serves the next request of its class,
// whatever the request's exact size; a thread keeps only a bounded share of what it
// frees, and the exchange between threads a bounded share more; flushing gives
// everything back.
TEST(HeapCache, FreedBlocksServeTheirClassAndStayBounded)
{
    std::thread([] {}).join();   // with other threads about, surplus goes to the exchange
    TestHeap t(TestPages::Order::Ascending, Heap::ThreadCaching::On);
    Heap& h = t.heap;
    void* p = h.Alloc(100);
    h.Free(p);
    EXPECT_EQ(h.Alloc(90), p);
    h.Free(p);
    for (size_t n : {size_t(600), size_t(1000), size_t(5000), size_t(70000), Heap::kCacheMaxChunk - 8}) {
        void* a = h.Alloc(n);
        ASSERT_GE(h.UsableSize(a), n);
        Fill(a, n, n);
        h.Free(a);
        void* b = h.Alloc(n - n / 16);   // a smaller request of the same class
        EXPECT_EQ(b, a) << n;
        EXPECT_GE(h.UsableSize(b), n);
        h.Free(b);
    }
    h.FlushThreadCache();
    EXPECT_EQ(h.BytesInUse(), 0u);

    std::vector<void*> blocks;
    for (int i = 0; i < 1000; ++i) blocks.push_back(h.Alloc(200));
    for (void* b : blocks) h.Free(b);
    EXPECT_LT(h.BytesInUse(), size_t(48) << 10);
    // Blocks of the cached sizes well beyond what one thread keeps.
    for (size_t n = 40000; n < 130000; n += 7000) {
        blocks.clear();
        for (int i = 0; i < 40; ++i) blocks.push_back(h.Alloc(n));
        for (void* b : blocks) h.Free(b);
    }
    EXPECT_LE(h.BytesInUse(), size_t(8) << 20);
    h.FlushThreadCache();
    EXPECT_EQ(h.BytesInUse(), 0u);
    EXPECT_EQ(h.Check(), nullptr);

    // Releasing the heap drops the caller's cache with it; the heap serves afresh.
    void* q = h.Alloc(64);
    h.Free(q);
    h.ReleaseAll();
    q = h.Alloc(64);
    ASSERT_NE(q, nullptr);
    h.Free(q);
    h.FlushThreadCache();
    EXPECT_EQ(h.BytesInUse(), 0u);
    EXPECT_EQ(t.pages.Errors(), 0);
}

namespace {

// Frees and allocates from a thread-local destructor that runs after the heap's own
// per-thread clean-up (it was constructed before the thread's first request).
struct LateUser {
    Heap* heap = nullptr;
    void* block = nullptr;
    ~LateUser()
    {
        if (!heap) return;
        heap->Free(block);
        heap->Free(heap->Alloc(48));
    }
};
thread_local LateUser t_lateUser;

} // namespace

TEST(HeapCacheThreaded, ThreadsGiveTheirCachesBackWhenTheyEnd)
{
    TestHeap t(TestPages::Order::Descending, Heap::ThreadCaching::On);
    Heap& h = t.heap;
    std::vector<std::thread> pool;
    for (int i = 0; i < 4; ++i) {
        pool.emplace_back([&h, i] {
            t_lateUser.heap = &h;
            std::vector<void*> live;
            for (int k = 0; k < 3000; ++k) live.push_back(h.Alloc(size_t(16 + (k * 37 + i) % 20000)));
            t_lateUser.block = live.back();
            live.pop_back();
            for (void* p : live) h.Free(p);   // fills the thread's cache
        });
    }
    for (auto& th : pool) th.join();
    EXPECT_EQ(h.BytesInUse(), 0u);
    EXPECT_EQ(h.Check(), nullptr);
}

// One thread allocates and fills blocks, another checks and frees them: the freeing
// thread's surplus passes to the allocating one through the exchange. Nothing is lost
// or handed out twice, and when both have ended the heap holds no cached block.
TEST(HeapCacheThreaded, BlocksPassBetweenThreads)
{
    TestHeap t(TestPages::Order::Ascending, Heap::ThreadCaching::On);
    Heap& h = t.heap;
    std::mutex m;
    std::vector<std::pair<void*, Block>> queue;
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread producer([&] {
        std::mt19937_64 rng(7);
        for (int round = 0; round < 300; ++round) {
            std::vector<std::pair<void*, Block>> made;
            for (int i = 0; i < 64; ++i) {
                const size_t n = size_t(16) << (rng() % 11);   // 16 B .. 16 KiB
                void* p = h.Alloc(n);
                if (!p) {
                    ++failures;
                    continue;
                }
                const uint64_t seed = uint64_t(round) << 8 | uint64_t(i);
                Fill(p, n, seed);
                made.push_back({p, Block{n, seed}});
            }
            std::lock_guard<std::mutex> g(m);
            queue.insert(queue.end(), made.begin(), made.end());
        }
        done = true;
    });
    std::thread consumer([&] {
        for (;;) {
            std::vector<std::pair<void*, Block>> taken;
            const bool last = done.load();
            {
                std::lock_guard<std::mutex> g(m);
                taken.swap(queue);
            }
            for (auto& b : taken) {
                if (!Holds(b.first, b.second.size, b.second.seed)) ++failures;
                h.Free(b.first);
            }
            if (last && taken.empty()) break;
            if (taken.empty()) std::this_thread::yield();
        }
    });
    producer.join();
    consumer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(h.BytesInUse(), 0u);
    const char* why = h.Check();
    EXPECT_EQ(why, nullptr) << why;
    EXPECT_EQ(t.pages.Errors(), 0);
}

TEST(HeapCacheDeathTest, SecondFreesAbort)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Both frees through one thread's cache.
    EXPECT_DEATH(
        {
            Heap h(nullptr, Heap::ThreadCaching::On);
            void* p = h.Alloc(100);
            void* q = h.Alloc(100);
            h.Free(p);
            h.Free(q);
            h.Free(p);
        },
        "vorn heap");
    // The first free's block waits in the exchange between threads; the second free
    // comes from another thread.
    EXPECT_DEATH(
        {
            std::thread([] {}).join();
            Heap h(nullptr, Heap::ThreadCaching::On);
            std::vector<void*> blocks;
            for (int i = 0; i < 40; ++i) blocks.push_back(h.Alloc(100));
            for (void* b : blocks) h.Free(b);   // the first ones freed move on
            std::thread([&] { h.Free(blocks[0]); }).join();
        },
        "vorn heap");
    // The first free's block already went back to the shared heap.
    EXPECT_DEATH(
        {
            Heap h(nullptr, Heap::ThreadCaching::On);
            void* p = h.Alloc(3000);
            void* guard = h.Alloc(3000);
            h.Free(p);
            h.FlushThreadCache();
            h.Free(p);
            h.Free(guard);
        },
        "vorn heap");
}

// ---- random sequences against a shadow of every block -------------------------------------

// Every layout of pages, with and without a thread cache in front of the heap.
class HeapRandom : public ::testing::TestWithParam<std::tuple<TestPages::Order, Heap::ThreadCaching>> {};

TEST_P(HeapRandom, SequencesKeepEveryBlockIntact)
{
    const auto [layout, caching] = GetParam();
    TestHeap t(layout, caching);
    Heap& h = t.heap;
    std::mt19937_64 rng(0x5eed + uint64_t(layout));
    Shadow shadow;
    std::vector<uintptr_t> order;   // the live blocks, for random choice
    uint64_t nextSeed = 1;

    auto verifyAndErase = [&](size_t index) -> ::testing::AssertionResult {
        const uintptr_t a = order[index];
        auto it = shadow.Blocks().find(a);
        if (it == shadow.Blocks().end()) return ::testing::AssertionFailure() << "block lost";
        if (!Holds(reinterpret_cast<void*>(a), it->second.size, it->second.seed))
            return ::testing::AssertionFailure() << "contents of a " << it->second.size << "-byte block changed";
        shadow.Blocks().erase(it);
        order[index] = order.back();
        order.pop_back();
        return ::testing::AssertionSuccess();
    };

    const int kOps = 40000;
    for (int op = 0; op < kOps; ++op) {
        const unsigned what = unsigned(rng() % 100);
        // Grow the live set early, shrink it at the end.
        const bool shrinking = op > kOps * 3 / 4;
        const bool allocate = order.empty() || (shrinking ? what < 30 : (order.size() < 1500 ? what < 55 : what < 45));
        if (allocate) {
            const size_t n = RandomSize(rng);
            void* p = h.Alloc(n);
            ASSERT_NE(p, nullptr) << n;
            ASSERT_TRUE(Aligned(p));
            ASSERT_GE(h.UsableSize(p), n);
            ASSERT_TRUE(shadow.Add(p, n, nextSeed));
            Fill(p, n, nextSeed++);
            order.push_back(reinterpret_cast<uintptr_t>(p));
        } else if (what < 80) {
            const size_t i = size_t(rng() % order.size());
            void* p = reinterpret_cast<void*>(order[i]);
            ASSERT_TRUE(verifyAndErase(i));
            h.Free(p);
        } else {
            // Reallocation as the containers do it: new block, copy, free the old one.
            const size_t i = size_t(rng() % order.size());
            void* old = reinterpret_cast<void*>(order[i]);
            const Block b = shadow.Blocks().at(order[i]);
            const size_t n = b.size + size_t(rng() % 2 ? rng() % 4096 : rng() % 64);
            void* p = h.Alloc(n);
            ASSERT_NE(p, nullptr);
            ASSERT_TRUE(Aligned(p));
            std::memcpy(p, old, b.size);
            ASSERT_TRUE(verifyAndErase(i));
            h.Free(old);
            ASSERT_TRUE(Holds(p, b.size, b.seed));
            ASSERT_TRUE(shadow.Add(p, n, nextSeed));
            Fill(p, n, nextSeed++);
            order.push_back(reinterpret_cast<uintptr_t>(p));
        }
        if (op % 1000 == 0) {
            const char* why = h.Check();
            ASSERT_EQ(why, nullptr) << why << " after " << op << " operations";
        }
    }
    while (!order.empty()) {
        void* p = reinterpret_cast<void*>(order.back());
        ASSERT_TRUE(verifyAndErase(order.size() - 1));
        h.Free(p);
    }
    h.FlushThreadCache();
    const char* why = h.Check();
    EXPECT_EQ(why, nullptr) << why;
    EXPECT_EQ(h.BytesInUse(), 0u);
    const HeapStats s = h.Stats();
    EXPECT_EQ(s.mappedBlocks, 0u);
    EXPECT_EQ(t.pages.Mapped(), s.footprint);
    EXPECT_EQ(t.pages.Errors(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, HeapRandom,
                         ::testing::Combine(::testing::Values(TestPages::Order::Ascending,
                                                              TestPages::Order::Descending, TestPages::Order::Apart),
                                            ::testing::Values(Heap::ThreadCaching::Off, Heap::ThreadCaching::On)),
                         [](const auto& info) {
                             const TestPages::Order layout = std::get<0>(info.param);
                             const Heap::ThreadCaching caching = std::get<1>(info.param);
                             std::string name = layout == TestPages::Order::Ascending    ? "Ascending"
                                                : layout == TestPages::Order::Descending ? "Descending"
                                                                                         : "Apart";
                             return name + (caching == Heap::ThreadCaching::On ? "Cached" : "");
                         });

TEST(Heap, RandomSequencesOnSystemPages)
{
    Heap h;
    std::mt19937_64 rng(99);
    std::vector<std::pair<void*, Block>> live;
    for (int op = 0; op < 20000; ++op) {
        if (live.empty() || rng() % 100 < 52) {
            const size_t n = RandomSize(rng);
            void* p = h.Alloc(n);
            ASSERT_NE(p, nullptr);
            ASSERT_TRUE(Aligned(p));
            Fill(p, n, uint64_t(op));
            live.push_back({p, Block{n, uint64_t(op)}});
        } else {
            const size_t i = size_t(rng() % live.size());
            ASSERT_TRUE(Holds(live[i].first, live[i].second.size, live[i].second.seed));
            h.Free(live[i].first);
            live[i] = live.back();
            live.pop_back();
        }
    }
    EXPECT_EQ(h.Check(), nullptr);
    for (auto& b : live) {
        ASSERT_TRUE(Holds(b.first, b.second.size, b.second.seed));
        h.Free(b.first);
    }
    EXPECT_EQ(h.Check(), nullptr);
    EXPECT_EQ(h.Stats().mappedBlocks, 0u);
    h.ReleaseAll();
}

// ---- threads ------------------------------------------------------------------------------

namespace {

// Several threads allocate, fill, check and free at once; a share of the blocks is
// handed to another thread to be freed there.
void HammerHeap(Heap& h, int threads, int opsPerThread)
{
    std::mutex handMutex;
    std::vector<std::pair<void*, Block>> handed;
    std::atomic<int> failures{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::mt19937_64 rng(uint64_t(t) * 7919 + 1);
            std::vector<std::pair<void*, Block>> live;
            for (int op = 0; op < opsPerThread; ++op) {
                const unsigned what = unsigned(rng() % 100);
                if (live.empty() || what < 50) {
                    size_t n = RandomSize(rng);
                    if (n > 100000 && rng() % 4) n %= 5000;
                    void* p = h.Alloc(n);
                    if (!p || !Aligned(p)) {
                        ++failures;
                        return;
                    }
                    const uint64_t seed = uint64_t(t) << 32 | uint64_t(op);
                    Fill(p, n, seed);
                    live.push_back({p, Block{n, seed}});
                } else {
                    const size_t i = size_t(rng() % live.size());
                    auto b = live[i];
                    live[i] = live.back();
                    live.pop_back();
                    if (!Holds(b.first, b.second.size, b.second.seed)) ++failures;
                    if (what < 85) {
                        h.Free(b.first);
                    } else {
                        std::pair<void*, Block> other{nullptr, {}};
                        {
                            std::lock_guard<std::mutex> g(handMutex);
                            handed.push_back(b);
                            if (handed.size() > 8 && rng() % 2) {
                                other = handed.front();
                                handed.erase(handed.begin());
                            }
                        }
                        if (other.first) {
                            if (!Holds(other.first, other.second.size, other.second.seed)) ++failures;
                            h.Free(other.first);
                        }
                    }
                }
            }
            for (auto& b : live) {
                if (!Holds(b.first, b.second.size, b.second.seed)) ++failures;
                h.Free(b.first);
            }
        });
    }
    for (auto& th : pool) th.join();
    for (auto& b : handed) {
        if (!Holds(b.first, b.second.size, b.second.seed)) ++failures;
        h.Free(b.first);
    }
    EXPECT_EQ(failures.load(), 0);
}

} // namespace

TEST(HeapThreaded, ManyThreadsShareOneHeap)
{
    TestHeap t(TestPages::Order::Descending);
    HammerHeap(t.heap, 6, 6000);
    const char* why = t.heap.Check();
    EXPECT_EQ(why, nullptr) << why;
    EXPECT_EQ(t.heap.Stats().mappedBlocks, 0u);
    EXPECT_EQ(t.pages.Errors(), 0);
}

// With caches, on pages that grow in place and on pages that never meet (a segment for
// every mapping: threads ending give back whole batches that free many segments at once).
TEST(HeapThreaded, ManyThreadsShareOneCachingHeap)
{
    for (TestPages::Order layout : {TestPages::Order::Ascending, TestPages::Order::Apart}) {
        TestHeap t(layout, Heap::ThreadCaching::On);
        for (int round = 0; round < 2; ++round) HammerHeap(t.heap, 6, 4000);
        t.heap.FlushThreadCache();   // what this thread freed for the others
        EXPECT_EQ(t.heap.BytesInUse(), 0u);
        const char* why = t.heap.Check();
        EXPECT_EQ(why, nullptr) << why;
        EXPECT_EQ(t.pages.Errors(), 0);
    }
}

TEST(HeapThreaded, ManyThreadsOnSystemPages)
{
    Heap h;
    HammerHeap(h, 4, 6000);
    EXPECT_EQ(h.Check(), nullptr);
    h.ReleaseAll();
}

TEST(HeapThreaded, ContainersFromManyThreads)
{
    std::vector<std::thread> pool;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
        pool.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                xvector<int> v;
                for (int i = 0; i < 300 + t * 50; ++i) v.push_back(i * t);
                for (int i = 0; i < v.size(); ++i)
                    if (v[i] != i * t) ++bad;
            }
        });
    }
    for (auto& th : pool) th.join();
    EXPECT_EQ(bad.load(), 0);
    if (Heap* heap = ProcessHeap()) {
        EXPECT_EQ(heap->Check(), nullptr);
    }
}
