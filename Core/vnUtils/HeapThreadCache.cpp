#include "vnUtils/Heap.h"
#include "vnUtils/HeapDetail.h"
#include <new>
#include <thread>

// The thread caches of a heap and the exchange through which they pass batches of
// blocks to each other.

namespace vorn {

using namespace heapdetail;

namespace {

// Where the calling thread stands: no cache yet, caches live, or caches given back at
// its end (requests then bypass them).
constexpr uint8_t kNoCaches = 0;
constexpr uint8_t kCachesLive = 1;
constexpr uint8_t kCachesGone = 2;
constinit thread_local uint8_t t_cacheState = kNoCaches;

// Gives the thread's caches back when the thread ends; armed by the first cache.
struct ThreadCacheGuard {
    bool armed = false;
    ~ThreadCacheGuard()
    {
        if (armed) Heap::ReleaseThreadCaches();
    }
};
thread_local ThreadCacheGuard t_cacheGuard;

} // namespace

// ---- thread caches ------------------------------------------------------------------------

Heap::ThreadCache* Heap::CacheOfThisThread() noexcept
{
    if (ThreadCache* c = FindThreadCache(this)) return c;
    if (t_cacheState == kCachesGone) return nullptr;
    // The cache's record is a block of the heap itself, with a cache line to spare on
    // either side, so that no other thread's block shares a line with it.
    const bool locked = Lock();
    if (!m_magic) Init();
    void* mem = AllocLocked(RequestToSize(sizeof(ThreadCache) + 2 * alignof(ThreadCache)));
    Unlock(locked);
    if (!mem) return nullptr;
    const uintptr_t at = (reinterpret_cast<uintptr_t>(mem) + alignof(ThreadCache)) & ~uintptr_t(alignof(ThreadCache) - 1);
    ThreadCache* c = new (reinterpret_cast<void*>(at)) ThreadCache{};
    c->block = mem;
    c->heap = this;
    c->next = t_caches;
    t_caches = c;
    if (t_cacheState == kNoCaches) {
        t_cacheGuard.armed = true;   // gives the caches back when the thread ends
        t_cacheState = kCachesLive;
    }
    return c;
}

void* Heap::CacheRefill(ThreadCache* c, uint32_t cls) noexcept
{
    // One lock for a batch of blocks of the class's size: the first one is the
    // caller's, the rest wait in the bin.
    const size_t nb = kClassSize[cls];
    uint32_t want = kClassLimit[cls] / 2;
    while (want > 1 && c->bytes + size_t(want - 1) * nb > kCacheBytes) want /= 2;
    CacheBin& bin = c->bins[cls];
    // A batch another thread handed over comes first: its blocks carry the tag already.
    uint32_t count = 0;
    if (CachedBlock* list = ExchangeTake(cls, want, &count)) {
        bin.head = list->next;
        bin.count = count - 1;
        c->bytes += size_t(count - 1) * nb;
        list->tag = 0;
        return list;
    }
    const uintptr_t tag = CacheTag(this);
    const bool locked = Lock();
    if (!m_magic) Init();
    void* first = AllocLocked(nb);
    for (uint32_t i = 1; first && i < want; ++i) {
        CachedBlock* b = static_cast<CachedBlock*>(AllocLocked(nb));
        if (!b) break;
        b->next = bin.head;
        b->tag = tag;
        bin.head = b;
        ++bin.count;
        c->bytes += nb;
    }
    Unlock(locked);
    return first;
}

void Heap::CacheDrain(ThreadCache* c, uint32_t cls, uint32_t keep) noexcept
{
    // The blocks nearest the head were freed last: the ones kept are those.
    CacheBin& bin = c->bins[cls];
    CachedBlock** link = &bin.head;
    uint32_t kept = 0;
    for (; kept < keep && *link; ++kept) link = &(*link)->next;
    CachedBlock* rest = *link;
    if (!rest) return;
    *link = nullptr;
    const uint32_t moved = bin.count - kept;
    const size_t size = kClassSize[cls];
    bin.count = kept;
    c->bytes -= size_t(moved) * size;
    // A cache that keeps some of its blocks is in use: the batch waits in the exchange
    // for another thread that runs short, when there is room (and another thread).
    if (keep && !*OnlyThreadFlag() && ExchangePut(cls, rest, moved)) return;
    PendingUnmaps pending;
    FreeList(rest, size, pending);
    if (pending.count) FinishUnmaps(pending);
}

void Heap::FreeList(CachedBlock* list, size_t size, PendingUnmaps& pending) noexcept
{
    // Freeing reads the size word after each block: fetch those lines before the lock.
    for (CachedBlock* b = list; b; b = b->next) __builtin_prefetch(reinterpret_cast<char*>(b) + size - kMemOffset);
    const bool locked = Lock();
    while (list) {
        CachedBlock* b = list;
        list = b->next;
        b->tag = 0;
        FreeLocked(b, pending);
    }
    Unlock(locked);
}

// ---- the exchange between thread caches ---------------------------------------------------

namespace {

// A class's exchange holds at most as many bytes as a bin of a thread cache aims at
// (and kExchangeBatches batches): enough for threads that free and allocate at once.
constexpr size_t kExchangeClassBytes = kClassBytes;

// The exchange's locks are held for a few loads and stores: spin, and let others run
// when the holder seems to have been preempted.
class ExchangeLock {
public:
    explicit ExchangeLock(std::atomic<uint32_t>& word) noexcept : m_word(word)
    {
        for (uint32_t spins = 0; m_word.exchange(1, std::memory_order_acquire) != 0;) {
            while (m_word.load(std::memory_order_relaxed) != 0) {
                if (++spins < 256)
                    CpuRelax();
                else
                    std::this_thread::yield();
            }
        }
    }
    ~ExchangeLock() { m_word.store(0, std::memory_order_release); }
    ExchangeLock(const ExchangeLock&) = delete;
    ExchangeLock& operator=(const ExchangeLock&) = delete;

private:
    std::atomic<uint32_t>& m_word;
};

} // namespace

bool Heap::ExchangePut(uint32_t cls, CachedBlock* list, uint32_t count) noexcept
{
    ExchangeBin& x = m_exchange[cls];
    ExchangeLock lock(x.lock);
    if (x.batches == heapdetail::kExchangeBatches || size_t(x.blocks + count) * kClassSize[cls] > kExchangeClassBytes)
        return false;
    x.lists[x.batches] = list;
    x.counts[x.batches] = count;
    ++x.batches;
    x.blocks += count;
    return true;
}

Heap::CachedBlock* Heap::ExchangeTake(uint32_t cls, uint32_t maxCount, uint32_t* count) noexcept
{
    ExchangeBin& x = m_exchange[cls];
    ExchangeLock lock(x.lock);
    if (!x.batches || x.counts[x.batches - 1] > maxCount) return nullptr;
    --x.batches;
    *count = x.counts[x.batches];
    x.blocks -= *count;
    return x.lists[x.batches];
}

bool Heap::ExchangeHolds(uint32_t cls, const CachedBlock* b) noexcept
{
    ExchangeBin& x = m_exchange[cls];
    ExchangeLock lock(x.lock);
    for (uint32_t i = 0; i < x.batches; ++i) {
        for (const CachedBlock* p = x.lists[i]; p; p = p->next)
            if (p == b) return true;
    }
    return false;
}

void Heap::ExchangeEmpty() noexcept
{
    PendingUnmaps pending;
    for (uint32_t cls = 0; cls < kCacheClasses; ++cls) {
        ExchangeBin& x = m_exchange[cls];
        CachedBlock* lists[heapdetail::kExchangeBatches];
        uint32_t n;
        {
            ExchangeLock lock(x.lock);
            n = x.batches;
            for (uint32_t i = 0; i < n; ++i) lists[i] = x.lists[i];
            x.batches = 0;
            x.blocks = 0;
        }
        for (uint32_t i = 0; i < n; ++i) {
            FreeList(lists[i], kClassSize[cls], pending);
            if (pending.count) FinishUnmaps(pending);
        }
    }
}

void Heap::CacheRelease(ThreadCache* c) noexcept
{
    for (uint32_t cls = 0; cls < kCacheClasses; ++cls) {
        if (c->bins[cls].head) CacheDrain(c, cls, 0);
    }
    FreeShared(c->block);
    // What other threads left in the exchange goes back too, so that a heap whose
    // threads have ended holds no cached block.
    ExchangeEmpty();
}

void Heap::FlushThreadCache() noexcept
{
    for (ThreadCache** link = &t_caches; *link; link = &(*link)->next) {
        ThreadCache* c = *link;
        if (c->heap == this) {
            *link = c->next;
            CacheRelease(c);
            return;
        }
    }
}

void Heap::ReleaseThreadCaches() noexcept
{
    t_cacheState = kCachesGone;
    while (ThreadCache* c = t_caches) {
        t_caches = c->next;
        c->heap->CacheRelease(c);
    }
}

} // namespace vorn
