#include "vnUtils/Heap.h"
#include "vnPlatform/Futex.h"
#include "vnPlatform/Memory.h"
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

namespace vorn {

namespace heapdetail {

// A chunk: the previous chunk's size when that one is free (its foot), then the size
// word with the flag bits, then, while free, the links of its bin. The caller's bytes
// start after the size word and run on over the next chunk's foot.
struct __attribute__((may_alias)) Chunk {
    size_t prevFoot;
    size_t head;
    Chunk* fd;
    Chunk* bk;
};

// A free chunk of a tree bin. Chunks of one size form a ring (fd/bk); one of them, the
// node, sits in the bin's trie. The trie takes four bits of the size per level, so a
// node has up to 16 children; only those whose bit is set in childMap are valid.
struct __attribute__((may_alias)) TreeChunk : Chunk {
    uint16_t childMap;
    uint8_t node;     // 1 for the trie node of its ring
    uint8_t unused[5];
    TreeChunk* child[16];
};

// The record of a segment, in its last bytes behind the fence.
struct __attribute__((may_alias)) Segment {
    char* base;
    size_t size;
    Segment* next;
    size_t flags;
};

// A free block in a thread cache or the exchange: the next block of its list, and a tag
// naming the heap (a hint for catching a second free of the block).
struct CachedBlock {
    CachedBlock* next;
    uintptr_t tag;
};

struct CacheBin {
    CachedBlock* head;
    uint32_t count;
};

// Size classes of the thread caches (kCacheClasses): chunk sizes 32 to 512 in steps of
// 16 (the small bins' sizes), then four classes for each power of two up to
// Heap::kCacheMaxChunk.

// One thread's cache of one heap; the thread's caches form a list. Its lines hold
// nothing of other threads (see CacheOfThisThread).
struct alignas(64) ThreadCache {
    Heap* heap;
    ThreadCache* next;
    size_t bytes;   // the class sizes of the blocks held
    void* block;    // the heap block the record lies in
    CacheBin bins[kCacheClasses];
};

// Address ranges to give back to the system once the lock is released.
struct PendingUnmaps {
    static constexpr int kMax = 8;
    struct Range {
        char* base;
        size_t size;
        bool ownMapping;   // a chunk's own mapping (failing to unmap it is corruption)
    };
    bool Full() const noexcept { return count >= kMax; }
    // Only when not Full.
    void Add(char* base, size_t size, bool ownMapping) noexcept { ranges[count++] = Range{base, size, ownMapping}; }
    Range ranges[kMax];
    int count = 0;
    bool more = false;   // wholly free segments were left for want of room
};

} // namespace heapdetail

using heapdetail::CacheBin;
using heapdetail::CachedBlock;
using heapdetail::Chunk;
using heapdetail::kCacheClasses;
using heapdetail::PendingUnmaps;
using heapdetail::Segment;
using heapdetail::ThreadCache;
using heapdetail::TreeChunk;

namespace {

constexpr size_t kPinuse = 1;       // the previous chunk is in use
constexpr size_t kCinuse = 2;       // this chunk is in use
constexpr size_t kInuseBits = kPinuse | kCinuse;
constexpr size_t kSizeMask = ~size_t(15);
constexpr size_t kChunkOverhead = sizeof(size_t);
constexpr size_t kMemOffset = 2 * sizeof(size_t);
// Requests below this fit the minimum chunk.
constexpr size_t kMinRequest = Heap::kMinChunk - kChunkOverhead - Heap::kAlignment + 1;
constexpr size_t kMinLargeSize = 512;   // chunks of this size and more go to tree bins
constexpr uint32_t kTreeShift = 9;
// The size word of the fence behind a chunk with its own mapping, and of the fence that
// ends a segment (whose previous-in-use bit tracks the chunk before it). The size bits
// of both read 0.
constexpr size_t kMappedFence = kInuseBits | 8;
constexpr size_t kSegmentFence = kCinuse | 8;
constexpr size_t kMappedTail = 32;       // fence words behind a chunk with its own mapping
constexpr size_t kRecordOffset = 16;     // from the segment's fence to its record
constexpr size_t kSegMapped = 1;
constexpr uint32_t kReleaseChecks = 4095;
constexpr uint32_t kDefaultFlags = 7;    // locking, system mapping, non-contiguous segments
constexpr uint32_t kUseMap = 2;
// Unused address space kept after a new segment so that the top can grow in place.
constexpr size_t kSegmentRoom = size_t(256) << 20;

static_assert(sizeof(Chunk) == 32 && sizeof(TreeChunk) <= kMinLargeSize);
static_assert(sizeof(Segment) + kRecordOffset == Heap::kSegmentTail);

thread_local char t_lockTag;

inline uintptr_t ThreadTag() noexcept { return reinterpret_cast<uintptr_t>(&t_lockTag); }

// The lock word: free, held, or held while other threads may sleep on it.
constexpr uint32_t kLockFree = 0;
constexpr uint32_t kLockHeld = 1;
constexpr uint32_t kLockContended = 2;
// Looks at a held lock before sleeping, and the longest pause between two of them in
// pause instructions.
constexpr uint32_t kLockSpins = 64;
constexpr uint32_t kMaxSpinPause = 16;

constinit std::atomic<const char*> g_onlyThreadFlag{nullptr};

inline const char* OnlyThreadFlag() noexcept
{
    const char* flag = g_onlyThreadFlag.load(std::memory_order_relaxed);
    if (!flag) {
        flag = SingleThreadFlag();
        g_onlyThreadFlag.store(flag, std::memory_order_relaxed);
    }
    return flag;
}

inline void CpuRelax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

inline bool IsPowerOf2(size_t v) noexcept { return v != 0 && (v & (v - 1)) == 0; }
inline size_t RoundUp(size_t v, size_t unit) noexcept { return (v + unit - 1) & ~(unit - 1); }

// The chunk size for a request of n bytes (n below kMaxRequest).
inline size_t RequestToSize(size_t n) noexcept
{
    return n < kMinRequest ? Heap::kMinChunk
                           : (n + kChunkOverhead + Heap::kAlignment - 1) & ~(Heap::kAlignment - 1);
}

inline uint32_t TreeIndex(size_t s) noexcept
{
    const size_t x = s >> kTreeShift;
    if (x == 0) return 0;
    if (x > 0xFFFF) return 31;
    const uint32_t k = 31u - uint32_t(__builtin_clz(uint32_t(x)));
    return (k << 1) + uint32_t((s >> (k + kTreeShift - 1)) & 1);
}

// Shifts a size of tree bin i so that the first bit below those the bin fixes is on top.
inline uint32_t TreeKeyShift(uint32_t i) noexcept
{
    return i == 31 ? 0 : 63u - ((i >> 1) + kTreeShift - 2);
}

inline size_t TreeBinMinSize(uint32_t i) noexcept
{
    return (size_t(1) << ((i >> 1) + kTreeShift)) | (size_t(i & 1) << ((i >> 1) + kTreeShift - 1));
}

inline Chunk* At(void* p, size_t offset) noexcept
{
    return reinterpret_cast<Chunk*>(static_cast<char*>(p) + offset);
}
inline Chunk* Before(void* p, size_t offset) noexcept
{
    return reinterpret_cast<Chunk*>(static_cast<char*>(p) - offset);
}
inline size_t SizeOf(const Chunk* p) noexcept { return p->head & kSizeMask; }
inline void* MemOf(Chunk* p) noexcept { return reinterpret_cast<char*>(p) + kMemOffset; }
inline Chunk* ChunkOf(const void* mem) noexcept
{
    return reinterpret_cast<Chunk*>(const_cast<char*>(static_cast<const char*>(mem)) - kMemOffset);
}
// The child holding the smallest keys below t, or null.
inline TreeChunk* LowestChild(TreeChunk* t) noexcept
{
    return t->childMap ? t->child[__builtin_ctz(t->childMap)] : nullptr;
}

constexpr uint32_t kDigitBits = 4;
// The trie digit on top of a key (a size shifted by TreeKeyShift, then by four bits for
// every level passed).
inline uint32_t TopDigit(size_t key) noexcept { return uint32_t(key >> (64 - kDigitBits)); }

// The size word of a chunk in use is read without the lock by the thread that frees the
// chunk into its cache, while a lock holder may flip its previous-in-use bit for the
// chunk before it: such words are loaded and stored as (relaxed) atomics.
inline size_t LoadHead(const Chunk* p) noexcept { return __atomic_load_n(&p->head, __ATOMIC_RELAXED); }
inline void StoreHead(Chunk* p, size_t v) noexcept { __atomic_store_n(&p->head, v, __ATOMIC_RELAXED); }

// An in-use chunk of size s whose previous chunk is in use; the next learns that it is.
inline void SetInuseAndPinuse(Chunk* p, size_t s) noexcept
{
    p->head = s | kPinuse | kCinuse;
    Chunk* next = At(p, s);
    StoreHead(next, LoadHead(next) | kPinuse);
}
// An in-use chunk of size s whose previous chunk is in use (the next one is untouched).
inline void SetSizeAndPinuseOfInuse(Chunk* p, size_t s) noexcept
{
    p->head = s | kPinuse | kCinuse;
}
// A free chunk of size s after an in-use chunk, with its foot.
inline void SetSizeAndPinuseOfFree(Chunk* p, size_t s) noexcept
{
    p->head = s | kPinuse;
    At(p, s)->prevFoot = s;
}

// ---- thread cache classes and state

constexpr size_t ClassSizeOf(uint32_t i) noexcept
{
    if (i <= 30) return size_t(i + 2) << 4;
    const uint32_t j = i - 30;
    const uint32_t k = 9 + j / 4;
    return (size_t(1) << k) + size_t(j % 4) * (size_t(1) << (k - 2));
}

template <class T, class F>
constexpr auto ClassTable(F f) noexcept
{
    struct Table {
        T v[kCacheClasses + 1];
        constexpr T operator[](uint32_t i) const { return v[i]; }
    } t{};
    for (uint32_t i = 0; i <= kCacheClasses; ++i) t.v[i] = f(i);
    return t;
}

constexpr auto kClassSize = ClassTable<uint32_t>([](uint32_t i) { return uint32_t(ClassSizeOf(i)); });
// Blocks a bin holds at most: many of the small ones, fewer of the large, so that one
// bin holds about kClassBytes; refills take half of it.
constexpr size_t kClassBytes = 0x40000;
constexpr auto kClassLimit = ClassTable<uint32_t>([](uint32_t i) {
    const size_t n = kClassBytes / ClassSizeOf(i);
    return uint32_t(n < 8 ? 8 : n > 32 ? 32 : n);
});
// The bytes one thread's cache of one heap holds at most.
constexpr size_t kCacheBytes = size_t(4) << 20;
// Chunks below this size fall into a class when they are freed.
constexpr size_t kCachedChunkLimit = ClassSizeOf(kCacheClasses);

static_assert(ClassSizeOf(30) == 512 && ClassSizeOf(kCacheClasses - 1) == Heap::kCacheMaxChunk);
static_assert(sizeof(CachedBlock) <= Heap::kMinChunk - sizeof(size_t));

// The class of a chunk of size s (a multiple of 16, at least 32): the largest whose
// size is at most s.
inline uint32_t FloorClass(size_t s) noexcept
{
    if (s < 512) return uint32_t(s >> 4) - 2;
    const uint32_t k = 63u - uint32_t(__builtin_clzll(s));
    return 30 + (k - 9) * 4 + uint32_t((s >> (k - 2)) & 3);
}
// The smallest class whose size is at least nb.
inline uint32_t CeilClass(size_t nb) noexcept
{
    const uint32_t c = FloorClass(nb);
    return kClassSize[c] < nb ? c + 1 : c;
}

inline uintptr_t CacheTag(const Heap* h) noexcept
{
    return reinterpret_cast<uintptr_t>(h) ^ uintptr_t(0x5a17c0de5a17c0deull);
}

inline bool BinHolds(const CacheBin& bin, const CachedBlock* b) noexcept
{
    for (const CachedBlock* x = bin.head; x; x = x->next)
        if (x == b) return true;
    return false;
}

// The calling thread's caches, most recently used first, and where the thread stands:
// no cache yet, caches live, or caches given back at its end (requests then bypass
// them).
constexpr uint8_t kNoCaches = 0;
constexpr uint8_t kCachesLive = 1;
constexpr uint8_t kCachesGone = 2;
constinit thread_local ThreadCache* t_caches = nullptr;
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

// The calling thread's cache of heap, moved to the front of the list; null when none.
ThreadCache* FindThreadCache(const Heap* heap) noexcept
{
    for (ThreadCache** link = &t_caches; *link; link = &(*link)->next) {
        ThreadCache* c = *link;
        if (c->heap == heap) {
            *link = c->next;
            c->next = t_caches;
            t_caches = c;
            return c;
        }
    }
    return nullptr;
}

inline Segment* RecordFor(char* segmentEnd) noexcept
{
    return reinterpret_cast<Segment*>(segmentEnd - Heap::kSegmentTail + kRecordOffset);
}
inline char* EndOf(const Segment* sp) noexcept { return sp->base + sp->size; }

} // namespace

// ---- lock ---------------------------------------------------------------------------------

bool Heap::Lock() noexcept
{
    // With a single thread in the process nobody can contend: the lock is left alone,
    // as an atomic exchange would cost more than most requests. A second thread is
    // only created by the one thread, never while it is inside the heap.
    if (*OnlyThreadFlag()) return false;
    const uintptr_t me = ThreadTag();
    // Only this thread ever stores its own tag, so seeing it means it holds the lock.
    if (m_owner.load(std::memory_order_relaxed) == me) {
        ++m_lockCount;
        return true;
    }
    uint32_t expected = kLockFree;
    if (!m_lockWord.compare_exchange_strong(expected, kLockHeld, std::memory_order_acquire,
                                            std::memory_order_relaxed))
        LockSlow();
    m_owner.store(me, std::memory_order_relaxed);
    m_lockCount = 1;
    return true;
}

void Heap::LockSlow() noexcept
{
    // A holder keeps the lock for a short while: spin first, with a growing pause
    // between looks so that fewer hand-overs move the heap's lines between caches.
    uint32_t pause = 1;
    for (uint32_t attempt = 0; attempt < kLockSpins; ++attempt) {
        uint32_t expected = m_lockWord.load(std::memory_order_relaxed);
        if (expected == kLockFree &&
            m_lockWord.compare_exchange_weak(expected, kLockHeld, std::memory_order_acquire,
                                             std::memory_order_relaxed))
            return;
        if (expected == kLockContended) break;   // others already sleep: queue up
        for (uint32_t i = 0; i < pause; ++i) CpuRelax();
        if (pause < kMaxSpinPause) pause <<= 1;
    }
    // Then sleep. The word says "held, maybe with sleepers" from now on, so that the
    // holder's unlock wakes one; a woken thread takes the lock in the same state, as it
    // cannot know whether others still sleep.
    while (m_lockWord.exchange(kLockContended, std::memory_order_acquire) != kLockFree)
        FutexWait(&m_lockWord, kLockContended);
}

void Heap::Unlock(bool locked) noexcept
{
    if (!locked || --m_lockCount != 0) return;
    m_owner.store(0, std::memory_order_relaxed);
    if (m_lockWord.exchange(kLockFree, std::memory_order_release) == kLockContended) FutexWake(&m_lockWord, 1);
}

bool Heap::DropLockForSystem() noexcept
{
    if (m_owner.load(std::memory_order_relaxed) != ThreadTag() || m_lockCount != 1) return false;
    Unlock(true);
    return true;
}

void Heap::Corrupt() noexcept
{
    std::fputs("vorn heap: corrupted heap or invalid block freed\n", stderr);
    std::abort();
}

void Heap::Init() noexcept
{
    m_pageSize = m_pages ? m_pages->pageSize(m_pages->context) : SystemPageSize();
    m_granularity = m_pageSize > kGranularity ? m_pageSize : kGranularity;
    if (!IsPowerOf2(m_pageSize) || !IsPowerOf2(m_granularity)) {
        std::fputs("vorn heap: page size is not a power of 2\n", stderr);
        std::abort();
    }
    m_mapThreshold = kMapThreshold;
    m_trimThreshold = kTrimThreshold;
    m_trimCheck = kTrimThreshold;
    m_flags = kDefaultFlags;
    m_releaseCountdown = kReleaseChecks;
    m_magic = ((MillisecondTicks() ^ 0x55555555u) | 8u) & ~7u;
}

void Heap::ResetState() noexcept
{
    m_magic = 0;
    m_smallMap = m_treeMap = 0;
    for (auto& b : m_smallBins) b = BinHead{};
    for (auto& t : m_treeBins) t = nullptr;
    m_dv = m_top = nullptr;
    m_dvSize = m_topSize = 0;
    m_segments = m_topSeg = nullptr;
    m_leastAddr = nullptr;
    m_footprint = m_maxFootprint = m_mappedBlocks = m_mappedBytes = 0;
    m_trimCheck = 0;
    m_releaseCountdown = 0;
    m_flags = 0;
    m_pageSize = m_granularity = m_mapThreshold = m_trimThreshold = 0;
}

// ---- bins ---------------------------------------------------------------------------------

void Heap::InsertSmall(Chunk* p, size_t size) noexcept
{
    const uint32_t i = uint32_t(size >> 4);
    const uint32_t bit = 1u << i;
    Chunk* b = SmallBin(i);
    Chunk* f = b;
    if (m_smallMap & bit)
        f = b->fd;
    else
        m_smallMap |= bit;
    b->fd = p;
    f->bk = p;
    p->fd = f;
    p->bk = b;
}

void Heap::UnlinkSmall(Chunk* p, size_t size) noexcept
{
    Chunk* f = p->fd;
    Chunk* b = p->bk;
    if (f->bk != p || b->fd != p) Corrupt();
    if (f == b) {
        // p was alone with the list head.
        m_smallMap &= ~(1u << uint32_t(size >> 4));
    } else {
        f->bk = b;
        b->fd = f;
    }
}

void Heap::InsertTree(TreeChunk* x, size_t size) noexcept
{
    const uint32_t i = TreeIndex(size);
    x->childMap = 0;
    x->node = 1;
    if (!(m_treeMap & (1u << i))) {
        m_treeMap |= 1u << i;
        m_treeBins[i] = x;
        x->fd = x->bk = x;
        return;
    }
    TreeChunk* t = m_treeBins[i];
    size_t key = size << TreeKeyShift(i);
    for (;;) {
        if (SizeOf(t) != size) {
            const uint32_t d = TopDigit(key);
            key <<= kDigitBits;
            if (t->childMap & (1u << d)) {
                t = t->child[d];
            } else {
                t->child[d] = x;
                t->childMap = uint16_t(t->childMap | (1u << d));
                x->fd = x->bk = x;
                return;
            }
        } else {
            // Same size as the node: join its ring.
            Chunk* f = t->fd;
            t->fd = x;
            f->bk = x;
            x->fd = f;
            x->bk = t;
            x->node = 0;
            return;
        }
    }
}

void Heap::UnlinkTree(TreeChunk* x) noexcept
{
    TreeChunk* r = nullptr;
    if (x->bk != x) {
        Chunk* f = x->fd;
        Chunk* b = x->bk;
        if (f->bk != x || b->fd != x) Corrupt();
        f->bk = b;
        b->fd = f;
        if (!x->node) return;
        r = static_cast<TreeChunk*>(f);   // the next of the ring takes the node's place
    } else if (x->childMap) {
        // Replace x by a leaf below it: every key below x shares x's path.
        TreeChunk* leafParent;
        uint32_t d;
        r = x;
        do {
            leafParent = r;
            d = 31u - uint32_t(__builtin_clz(r->childMap));
            r = r->child[d];
        } while (r->childMap);
        leafParent->childMap = uint16_t(leafParent->childMap & ~(1u << d));
    }
    // Find the slot that holds x: x lies on the path of its own key.
    const size_t size = SizeOf(x);
    const uint32_t i = TreeIndex(size);
    if (!(m_treeMap & (1u << i))) Corrupt();
    TreeChunk** slot = &m_treeBins[i];
    TreeChunk* parent = nullptr;
    uint32_t digit = 0;
    size_t key = size << TreeKeyShift(i);
    for (uint32_t depth = 0; *slot != x; ++depth) {
        TreeChunk* t = *slot;
        digit = TopDigit(key);
        key <<= kDigitBits;
        if (SizeOf(t) == size || !(t->childMap & (1u << digit)) || depth > 16) Corrupt();
        parent = t;
        slot = &t->child[digit];
    }
    if (r) {
        *slot = r;
        r->node = 1;
        uint32_t map = x->childMap;
        r->childMap = uint16_t(map);
        while (map) {
            const uint32_t c = uint32_t(__builtin_ctz(map));
            map &= map - 1;
            r->child[c] = x->child[c];
        }
    } else if (parent) {
        parent->childMap = uint16_t(parent->childMap & ~(1u << digit));
    } else {
        m_treeMap &= ~(1u << i);
    }
}

void Heap::InsertChunk(Chunk* p, size_t size) noexcept
{
    if (size < kMinLargeSize)
        InsertSmall(p, size);
    else
        InsertTree(static_cast<TreeChunk*>(p), size);
}

void Heap::UnlinkChunk(Chunk* p, size_t size) noexcept
{
    if (size < kMinLargeSize)
        UnlinkSmall(p, size);
    else
        UnlinkTree(static_cast<TreeChunk*>(p));
}

void Heap::ReplaceDv(Chunk* p, size_t size) noexcept
{
    if (m_dvSize) InsertChunk(m_dv, m_dvSize);
    m_dv = p;
    m_dvSize = size;
}

// ---- allocation ---------------------------------------------------------------------------

void* Heap::Alloc(size_t n) noexcept
{
    if (n >= kMaxRequest) return nullptr;
    const size_t nb = RequestToSize(n);
    if (m_threadCaching && nb <= kCacheMaxChunk) {
        ThreadCache* c = t_caches;
        if ((c && c->heap == this) || (c = CacheOfThisThread())) {
            const uint32_t cls = CeilClass(nb);
            CacheBin& bin = c->bins[cls];
            if (void* mem = bin.head) {
                CachedBlock* b = static_cast<CachedBlock*>(mem);
                bin.head = b->next;
                --bin.count;
                c->bytes -= kClassSize[cls];
                b->tag = 0;
                return mem;
            }
            return CacheRefill(c, cls);
        }
    }
    const bool locked = Lock();
    if (!m_magic) Init();
    void* mem = AllocLocked(nb);
    Unlock(locked);
    return mem;
}

void* Heap::AllocLocked(size_t nb) noexcept
{
    if (nb < kMinLargeSize) {
        uint32_t idx = uint32_t(nb >> 4);
        const uint32_t bits = m_smallMap >> idx;
        if (bits & 3) {
            // An exact fit or one 16 bytes larger: no split.
            idx += ~bits & 1;
            Chunk* b = SmallBin(idx);
            Chunk* p = b->fd;
            Chunk* f = p->fd;
            if (f == b)
                m_smallMap &= ~(1u << idx);
            else {
                if (f->bk != p) Corrupt();
                b->fd = f;
                f->bk = b;
            }
            SetInuseAndPinuse(p, size_t(idx) << 4);
            return MemOf(p);
        }
        if (nb > m_dvSize) {
            if (bits) {
                // The smallest larger small bin; its remainder becomes the victim.
                const uint32_t i = uint32_t(__builtin_ctz(m_smallMap & (~0u << idx << 1)));
                Chunk* b = SmallBin(i);
                Chunk* p = b->fd;
                Chunk* f = p->fd;
                if (f == b)
                    m_smallMap &= ~(1u << i);
                else {
                    if (f->bk != p) Corrupt();
                    b->fd = f;
                    f->bk = b;
                }
                // Bins step by 16 and this one is at least 32 larger: the remainder
                // is a whole chunk.
                const size_t rsize = (size_t(i) << 4) - nb;
                SetSizeAndPinuseOfInuse(p, nb);
                Chunk* r = At(p, nb);
                SetSizeAndPinuseOfFree(r, rsize);
                ReplaceDv(r, rsize);
                return MemOf(p);
            }
            if (m_treeMap) return TreeAllocSmall(nb);
        }
    } else if (m_treeMap) {
        if (void* mem = TreeAllocLarge(nb)) return mem;
    }
    if (nb <= m_dvSize) return CarveDv(nb);
    if (m_topSize > nb && m_topSize - nb >= kMinChunk) return CarveTop(nb);
    return SysAlloc(nb);
}

void* Heap::TreeAllocSmall(size_t nb) noexcept
{
    // The smallest chunk of the smallest non-empty tree bin.
    TreeChunk* t = m_treeBins[__builtin_ctz(m_treeMap)];
    TreeChunk* v = t;
    size_t rsize = SizeOf(t) - nb;
    while ((t = LowestChild(t))) {
        const size_t trem = SizeOf(t) - nb;
        if (trem < rsize) {
            rsize = trem;
            v = t;
        }
    }
    UnlinkTree(v);
    if (rsize < kMinChunk) {
        SetInuseAndPinuse(v, rsize + nb);
    } else {
        SetSizeAndPinuseOfInuse(v, nb);
        Chunk* r = At(v, nb);
        SetSizeAndPinuseOfFree(r, rsize);
        ReplaceDv(r, rsize);
    }
    return MemOf(v);
}

void* Heap::TreeAllocLarge(size_t nb) noexcept
{
    TreeChunk* v = nullptr;
    size_t rsize = size_t(0) - nb;   // larger than any remainder
    const uint32_t idx = TreeIndex(nb);
    TreeChunk* t = nullptr;
    if (m_treeMap & (1u << idx)) {
        // Walk down the path of nb, remembering the best fit seen and the deepest
        // subtree of larger keys beside the path.
        t = m_treeBins[idx];
        size_t key = nb << TreeKeyShift(idx);
        TreeChunk* larger = nullptr;
        for (;;) {
            const size_t trem = SizeOf(t) - nb;
            if (trem < rsize) {
                v = t;
                if ((rsize = trem) == 0) {
                    t = nullptr;
                    break;
                }
            }
            const uint32_t d = TopDigit(key);
            key <<= kDigitBits;
            const uint32_t map = t->childMap;
            const uint32_t above = map & (~1u << d);
            if (above) larger = t->child[__builtin_ctz(above)];
            if (!(map & (1u << d))) {
                t = larger;
                break;
            }
            t = t->child[d];
        }
    }
    if (!t && !v) {
        // The smallest non-empty larger bin.
        const uint32_t above = m_treeMap & (~0u << idx << 1);
        if (above) t = m_treeBins[__builtin_ctz(above)];
    }
    // The smallest chunk of the subtree t.
    while (t) {
        const size_t trem = SizeOf(t) - nb;
        if (trem < rsize) {
            rsize = trem;
            v = t;
        }
        t = LowestChild(t);
    }
    // Taken only when it fits better than the designated victim.
    if (!v || rsize >= m_dvSize - nb) return nullptr;
    // The split writes the remainder's head and foot: start fetching their lines while
    // the chunk leaves its bin.
    __builtin_prefetch(At(v, nb), 1);
    __builtin_prefetch(At(v, nb + rsize), 1);
    UnlinkTree(v);
    if (rsize < kMinChunk) {
        SetInuseAndPinuse(v, rsize + nb);
    } else {
        SetSizeAndPinuseOfInuse(v, nb);
        Chunk* r = At(v, nb);
        SetSizeAndPinuseOfFree(r, rsize);
        InsertChunk(r, rsize);
    }
    return MemOf(v);
}

void* Heap::CarveDv(size_t nb) noexcept
{
    Chunk* p = m_dv;
    const size_t rsize = m_dvSize - nb;
    if (rsize >= kMinChunk) {
        Chunk* r = m_dv = At(p, nb);
        m_dvSize = rsize;
        SetSizeAndPinuseOfFree(r, rsize);
        SetSizeAndPinuseOfInuse(p, nb);
    } else {
        const size_t whole = m_dvSize;
        m_dvSize = 0;
        m_dv = nullptr;
        SetInuseAndPinuse(p, whole);
    }
    return MemOf(p);
}

void* Heap::CarveTop(size_t nb) noexcept
{
    Chunk* p = m_top;
    const size_t rsize = m_topSize -= nb;
    Chunk* r = m_top = At(p, nb);
    r->head = rsize | kPinuse;
    SetSizeAndPinuseOfInuse(p, nb);
    return MemOf(p);
}

// ---- system memory ------------------------------------------------------------------------

void* Heap::MapPages(void* at, size_t bytes, bool segment) noexcept
{
    if (m_pages) return m_pages->map(m_pages->context, at, bytes);
    if (at) return MapSystemPagesAt(at, bytes);
    return segment ? MapSystemPagesWithRoom(bytes, kSegmentRoom) : MapSystemPages(bytes);
}

bool Heap::UnmapPages(void* p, size_t bytes) noexcept
{
    if (m_pages) return m_pages->unmap(m_pages->context, p, bytes);
    return UnmapSystemPages(p, bytes);
}

void Heap::NoteObtained(char* base, size_t bytes) noexcept
{
    if (!m_leastAddr || base < m_leastAddr) __atomic_store_n(&m_leastAddr, base, __ATOMIC_RELAXED);
    m_footprint += bytes;
    if (m_footprint > m_maxFootprint) m_maxFootprint = m_footprint;
}

void* Heap::SysAlloc(size_t nb) noexcept
{
    if (m_topSeg && (m_flags & kUseMap) && nb >= m_mapThreshold) {
        if (void* mem = DirectMap(nb)) return mem;
    }
    const size_t extra = kSegmentTail + kMinChunk;
    if (nb > ~size_t(0) - extra - m_granularity) return nullptr;
    const size_t asize = RoundUp(nb + extra, m_granularity);

    // The system calls run without the lock; what they return is fitted in with it,
    // whatever other threads did meanwhile.
    char* const topEnd = m_topSeg ? EndOf(m_topSeg) : nullptr;
    const bool dropped = DropLockForSystem();
    char* base = topEnd ? static_cast<char*>(MapPages(topEnd, asize, true)) : nullptr;
    if (!base) base = static_cast<char*>(MapPages(nullptr, asize, true));
    if (dropped) Lock();
    if (!base) return nullptr;
    NoteObtained(base, asize);
    m_trimCheck = m_trimThreshold;   // memory came in: trimming may pay again

    if (!m_topSeg) {
        AddSegment(base, asize);
    } else if (base == EndOf(m_topSeg)) {
        ExtendTop(asize);
    } else {
        for (Segment* sp = m_segments; sp; sp = sp->next) {
            if (sp->base == base + asize) return PrependAlloc(sp, base, asize, nb);
        }
        AddSegment(base, asize);
    }
    return CarveTop(nb);
}

void* Heap::DirectMap(size_t nb) noexcept
{
    if (nb > ~size_t(0) - kMappedTail - m_pageSize) return nullptr;
    const size_t msize = RoundUp(nb + kMappedTail, m_pageSize);
    const bool dropped = DropLockForSystem();
    char* mm = static_cast<char*>(MapPages(nullptr, msize, false));
    if (mm) {
        Chunk* p = reinterpret_cast<Chunk*>(mm);
        const size_t csize = msize - kMappedTail;
        p->prevFoot = 0;   // the offset from the start of the mapping
        p->head = csize;   // both in-use bits clear: a chunk of its own mapping
        At(p, csize)->head = kMappedFence;
        At(p, csize + sizeof(size_t))->head = 0;
    }
    if (dropped) Lock();
    if (!mm) return nullptr;
    if (!m_leastAddr || mm < m_leastAddr) __atomic_store_n(&m_leastAddr, mm, __ATOMIC_RELAXED);
    m_footprint += msize;
    if (m_footprint > m_maxFootprint) m_maxFootprint = m_footprint;
    ++m_mappedBlocks;
    m_mappedBytes += msize;
    return MemOf(reinterpret_cast<Chunk*>(mm));
}

// Takes a mapped range back as a segment of its own holding one free chunk: memory
// that could not be given back to the system after all.
void Heap::AdoptFreeRange(char* base, size_t size) noexcept
{
    NoteObtained(base, size);
    Segment* rec = RecordFor(base + size);
    rec->base = base;
    rec->size = size;
    rec->flags = 0;   // never offered to the system again
    rec->next = m_segments;
    m_segments = rec;
    Chunk* p = reinterpret_cast<Chunk*>(base);
    const size_t psize = size - kSegmentTail;
    SetSizeAndPinuseOfFree(p, psize);
    At(p, psize)->head = kSegmentFence;   // its previous chunk (p) is free
    InsertChunk(p, psize);
    m_trimCheck = ~size_t(0);   // the system refuses: stop trying until memory comes in
}

void Heap::AddSegment(char* base, size_t size) noexcept
{
    if (m_top) {
        // The old top becomes an ordinary free chunk before its segment's fence.
        Chunk* old = m_top;
        const size_t osize = m_topSize;
        SetSizeAndPinuseOfFree(old, osize);
        InsertChunk(old, osize);
    }
    Segment* rec = RecordFor(base + size);
    rec->base = base;
    rec->size = size;
    rec->flags = kSegMapped;
    rec->next = m_segments;
    m_segments = rec;
    m_topSeg = rec;
    m_top = reinterpret_cast<Chunk*>(base);
    m_topSize = size - kSegmentTail;
    m_top->head = m_topSize | kPinuse;
    At(m_top, m_topSize)->head = kSegmentFence;
}

// Points the list at the record's copy `to` in place of `from` (which is not read).
void Heap::MoveSegmentRecord(Segment* from, Segment* to) noexcept
{
    Segment** link = &m_segments;
    while (*link != from) link = &(*link)->next;
    *link = to;
    if (m_topSeg == from) m_topSeg = to;
}

void Heap::ExtendTop(size_t size) noexcept
{
    Segment* sp = m_topSeg;
    Segment* rec = RecordFor(EndOf(sp) + size);
    *rec = *sp;
    MoveSegmentRecord(sp, rec);
    m_topSeg->size += size;
    m_topSize += size;
    m_top->head = m_topSize | kPinuse;
    At(m_top, m_topSize)->head = kSegmentFence;
}

void* Heap::PrependAlloc(Segment* seg, char* base, size_t size, size_t nb) noexcept
{
    Chunk* oldFirst = reinterpret_cast<Chunk*>(seg->base);
    seg->base = base;
    seg->size += size;
    Chunk* p = reinterpret_cast<Chunk*>(base);
    SetSizeAndPinuseOfInuse(p, nb);
    Chunk* q = At(p, nb);
    size_t qsize = size - nb;
    if (oldFirst == m_top) {
        m_topSize += qsize;
        m_top = q;
        q->head = m_topSize | kPinuse;
        return MemOf(p);
    }
    if (!(oldFirst->head & kCinuse)) {
        const size_t osize = SizeOf(oldFirst);
        if (oldFirst == m_dv) {
            m_dv = nullptr;
            m_dvSize = 0;
        } else {
            UnlinkChunk(oldFirst, osize);
        }
        qsize += osize;
    } else {
        StoreHead(oldFirst, LoadHead(oldFirst) & ~kPinuse);
    }
    SetSizeAndPinuseOfFree(q, qsize);
    InsertChunk(q, qsize);
    return MemOf(p);
}

void Heap::ReleaseUnusedSegments(PendingUnmaps& pending) noexcept
{
    Segment** link = &m_segments;
    while (Segment* sp = *link) {
        if (pending.Full()) {
            pending.more = true;   // the rest follows once these are unmapped
            return;
        }
        char* base = sp->base;
        const size_t size = sp->size;
        Segment* next = sp->next;
        if (sp != m_topSeg && (sp->flags & kSegMapped)) {
            Chunk* p = reinterpret_cast<Chunk*>(base);
            const size_t psize = SizeOf(p);
            if (!(p->head & kCinuse) && psize + kSegmentTail == size) {
                // One free chunk spans the segment.
                if (p == m_dv) {
                    m_dv = nullptr;
                    m_dvSize = 0;
                } else {
                    UnlinkChunk(p, psize);
                }
                pending.Add(base, size, false);
                m_footprint -= size;
                *link = next;
                continue;
            }
        }
        link = &sp->next;
    }
    m_releaseCountdown = kReleaseChecks;
}

void Heap::Trim(PendingUnmaps& pending) noexcept
{
    if (pending.Full()) return;   // a later free trims
    const int before = pending.count;
    const size_t unit = m_granularity;
    if (m_top && m_topSize >= kMinChunk + unit) {
        // Give back whole units from the end of the top's segment, leaving the top less
        // than one unit (and at least a minimum chunk).
        const size_t extra = (m_topSize - kMinChunk) / unit * unit;
        Segment* sp = m_topSeg;
        char* newEnd = EndOf(sp) - extra;
        Segment* rec = RecordFor(newEnd);
        *rec = *sp;
        MoveSegmentRecord(sp, rec);
        m_topSeg->size -= extra;
        m_topSize -= extra;
        m_top->head = m_topSize | kPinuse;
        At(m_top, m_topSize)->head = kSegmentFence;
        m_footprint -= extra;
        pending.Add(newEnd, extra, false);
    }
    ReleaseUnusedSegments(pending);
    if (pending.count == before && m_topSize > m_trimCheck) m_trimCheck = ~size_t(0);
}

void Heap::FinishUnmaps(PendingUnmaps& pending) noexcept
{
    for (;;) {
        for (int i = 0; i < pending.count; ++i) {
            const PendingUnmaps::Range& r = pending.ranges[i];
            if (UnmapPages(r.base, r.size)) continue;
            if (r.ownMapping) Corrupt();
            // Still mapped: the range serves again as free memory.
            const bool locked = Lock();
            AdoptFreeRange(r.base, r.size);
            Unlock(locked);
        }
        pending.count = 0;
        if (!pending.more) return;
        pending.more = false;
        const bool locked = Lock();
        ReleaseUnusedSegments(pending);
        Unlock(locked);
    }
}

// ---- freeing ------------------------------------------------------------------------------

void Heap::Free(void* mem) noexcept
{
    if (!mem) return;
    if (m_threadCaching) {
        ThreadCache* c = t_caches;
        if (c && c->heap != this) c = FindThreadCache(this);
        Chunk* p = ChunkOf(mem);
        const size_t head = LoadHead(p);
        const size_t psize = head & kSizeMask;
        // A block in use of a cached size goes to the cache; anything else (a mapping of
        // its own, a bad pointer) is the shared heap's business.
        if ((head & kCinuse) && psize >= kMinChunk && psize < kCachedChunkLimit &&
            reinterpret_cast<char*>(p) >= __atomic_load_n(&m_leastAddr, __ATOMIC_RELAXED)) {
            const uint32_t cls = FloorClass(psize);
            CachedBlock* b = static_cast<CachedBlock*>(mem);
            const uintptr_t tag = CacheTag(this);
            // The tag may also be the caller's data: only a block found in this thread's
            // bin or in the exchange is freed twice. (One waiting in another thread's
            // cache is not found.) A thread without a cache checks the exchange too.
            if (b->tag == tag && ((c && BinHolds(c->bins[cls], b)) || ExchangeHolds(cls, b))) Corrupt();
            if (c) {
                CacheBin& bin = c->bins[cls];
                if (bin.count >= kClassLimit[cls] || c->bytes + kClassSize[cls] > kCacheBytes) {
                    CacheDrain(c, cls, bin.count / 2);
                    if (c->bytes + kClassSize[cls] > kCacheBytes) {
                        FreeShared(mem);
                        return;
                    }
                }
                b->next = bin.head;
                b->tag = tag;
                bin.head = b;
                ++bin.count;
                c->bytes += kClassSize[cls];
                return;
            }
        }
    }
    FreeShared(mem);
}

void Heap::FreeShared(void* mem) noexcept
{
    PendingUnmaps pending;
    const bool locked = Lock();
    FreeLocked(mem, pending);
    Unlock(locked);
    if (pending.count) FinishUnmaps(pending);
}

void Heap::FreeLocked(void* mem, PendingUnmaps& pending) noexcept
{
    Chunk* p = ChunkOf(mem);
    if (!m_magic || reinterpret_cast<char*>(p) < m_leastAddr) Corrupt();
    const size_t head = p->head;
    size_t psize = head & kSizeMask;
    if (!(head & kInuseBits)) {
        // A chunk with its own mapping goes back to the system whole (once the lock is
        // released).
        const size_t offset = p->prevFoot;
        if (psize == 0 || offset >= m_pageSize || At(p, psize)->head != kMappedFence) Corrupt();
        const size_t msize = offset + psize + kMappedTail;
        m_footprint -= msize;
        --m_mappedBlocks;
        m_mappedBytes -= msize;
        char* base = reinterpret_cast<char*>(Before(p, offset));
        if (!pending.Full())
            pending.Add(base, msize, true);
        else if (!UnmapPages(base, msize))
            Corrupt();
        return;
    }
    if (!(head & kCinuse) || psize < kMinChunk) Corrupt();
    Chunk* next = At(p, psize);
    if (!(next->head & kPinuse)) Corrupt();

    if (!(head & kPinuse)) {
        const size_t prevSize = p->prevFoot;
        Chunk* prev = Before(p, prevSize);
        if (reinterpret_cast<char*>(prev) < m_leastAddr || SizeOf(prev) != prevSize) Corrupt();
        if (prev == m_dv) {
            m_dv = nullptr;
            m_dvSize = 0;
        } else {
            UnlinkChunk(prev, prevSize);
        }
        p = prev;
        psize += prevSize;
    }
    if (!(next->head & kCinuse)) {
        if (next == m_top) {
            const size_t tsize = m_topSize += psize;
            m_top = p;
            p->head = tsize | kPinuse;
            if (tsize > m_trimCheck) Trim(pending);
            return;
        }
        const size_t nsize = SizeOf(next);
        if (next == m_dv) {
            m_dv = nullptr;
            m_dvSize = 0;
        } else {
            UnlinkChunk(next, nsize);
        }
        psize += nsize;
        SetSizeAndPinuseOfFree(p, psize);
    } else {
        StoreHead(next, next->head & ~kPinuse);
        SetSizeAndPinuseOfFree(p, psize);
    }
    if (psize < kMinLargeSize) {
        InsertSmall(p, psize);
    } else {
        InsertTree(static_cast<TreeChunk*>(p), psize);
        if (--m_releaseCountdown == 0) ReleaseUnusedSegments(pending);
    }
}

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

size_t Heap::UsableSize(const void* mem) noexcept
{
    if (!mem) return 0;
    const bool locked = Lock();
    const Chunk* p = ChunkOf(mem);
    const size_t head = p->head;
    size_t usable = 0;
    if (!(head & kInuseBits) || (head & kCinuse)) usable = (head & kSizeMask) - kChunkOverhead;
    Unlock(locked);
    return usable;
}

// ---- inspection ---------------------------------------------------------------------------

HeapStats Heap::Stats() noexcept
{
    const bool locked = Lock();
    HeapStats s;
    s.footprint = m_footprint;
    s.maxFootprint = m_maxFootprint;
    s.topSize = m_topSize;
    for (Segment* sp = m_segments; sp; sp = sp->next) ++s.segments;
    s.mappedBlocks = m_mappedBlocks;
    s.mappedBytes = m_mappedBytes;
    Unlock(locked);
    return s;
}

size_t Heap::BytesInUse() noexcept
{
    const bool locked = Lock();
    size_t used = m_mappedBytes;
    for (Segment* sp = m_segments; sp; sp = sp->next) {
        char* end = EndOf(sp) - kSegmentTail;
        for (Chunk* p = reinterpret_cast<Chunk*>(sp->base); reinterpret_cast<char*>(p) < end; p = At(p, SizeOf(p))) {
            if (p->head & kCinuse) used += SizeOf(p);
            if (SizeOf(p) == 0) break;   // a broken heap: Check tells more
        }
    }
    Unlock(locked);
    return used;
}

const char* Heap::Check() noexcept
{
    const bool locked = Lock();
    const char* why = CheckLocked();
    Unlock(locked);
    return why;
}

const char* Heap::CheckLocked() noexcept
{
    if (!m_magic) return m_segments ? "segments of an uninitialised heap" : nullptr;

    // The bins: every chunk free, of the bin's sizes, linked both ways.
    size_t binned = 0;
    for (uint32_t i = 0; i < 32; ++i) {
        Chunk* b = SmallBin(i);
        if (!(m_smallMap & (1u << i))) continue;
        if (i < kMinChunk / 16) return "small bin below the minimum chunk";
        if (b->fd == b) return "small bin marked but empty";
        for (Chunk* p = b->fd; p != b; p = p->fd) {
            if (p->fd->bk != p || p->bk->fd != p) return "broken small bin links";
            if (p->head & kCinuse) return "chunk in use in a small bin";
            if (!(p->head & kPinuse)) return "free chunk after a free chunk";
            if (SizeOf(p) != size_t(i) << 4) return "chunk in the wrong small bin";
            if (p == m_dv || p == m_top) return "victim or top in a small bin";
            if (++binned > (size_t(1) << 40)) return "small bin cycle";
        }
    }
    for (uint32_t i = 0; i < 32; ++i) {
        TreeChunk* root = m_treeBins[i];
        if (!(m_treeMap & (1u << i))) {
            continue;
        }
        if (!root) return "tree bin marked but empty";
        // Depth-first over the trie (at most 16 levels of 16 children).
        TreeChunk* stack[16 * 16 + 1];
        uint32_t depths[16 * 16 + 1];
        int sp = 0;
        stack[sp] = root;
        depths[sp++] = 0;
        const uint32_t shift = TreeKeyShift(i);
        const size_t lo = TreeBinMinSize(i);
        const size_t hi = i == 31 ? ~size_t(0) : TreeBinMinSize(i + 1);
        while (sp) {
            TreeChunk* t = stack[--sp];
            const uint32_t depth = depths[sp];
            const size_t size = SizeOf(t);
            if (!t->node) return "bad tree node";
            if (size < lo || size >= hi) return "chunk in the wrong tree bin";
            TreeChunk* u = t;
            do {
                if (u->head & kCinuse) return "chunk in use in a tree bin";
                if (!(u->head & kPinuse)) return "free chunk after a free chunk";
                if (SizeOf(u) != size) return "sizes differ in a tree ring";
                if (u->fd->bk != u || u->bk->fd != u) return "broken tree ring links";
                if (u != t && u->node) return "two nodes in one ring";
                if (u == m_dv || u == m_top) return "victim or top in a tree bin";
                ++binned;
                u = static_cast<TreeChunk*>(u->fd);
            } while (u != t);
            for (uint32_t c = 0; c < 16; ++c) {
                if (!(t->childMap & (1u << c))) continue;
                TreeChunk* ch = t->child[c];
                if (depth >= 15) return "tree too deep";
                const size_t key = (SizeOf(ch) << shift) << (kDigitBits * depth);
                if (TopDigit(key) != c) return "tree key off its path";
                if (sp >= 16 * 16) return "tree too wide";
                stack[sp] = ch;
                depths[sp++] = depth + 1;
            }
        }
    }

    // The segments, chunk by chunk.
    size_t walkedFree = 0;
    size_t segmentBytes = 0;
    bool topSeen = !m_top;
    bool dvSeen = !m_dvSize;
    bool topSegSeen = !m_topSeg;
    for (Segment* sp = m_segments; sp; sp = sp->next) {
        if (RecordFor(EndOf(sp)) != sp) return "segment record misplaced";
        if ((reinterpret_cast<uintptr_t>(sp->base) & (m_pageSize - 1)) || sp->size % m_granularity)
            return "segment not page-aligned";
        if (sp->base < m_leastAddr) return "segment below the lowest address";
        if (sp == m_topSeg) topSegSeen = true;
        segmentBytes += sp->size;
        char* end = EndOf(sp) - kSegmentTail;
        Chunk* p = reinterpret_cast<Chunk*>(sp->base);
        bool prevInuse = true;
        while (reinterpret_cast<char*>(p) != end) {
            const size_t size = SizeOf(p);
            if (reinterpret_cast<uintptr_t>(MemOf(p)) & (kAlignment - 1)) return "misaligned chunk";
            if (size < kMinChunk || size > size_t(end - reinterpret_cast<char*>(p)))
                return "chunk size out of its segment";
            if (bool(p->head & kPinuse) != prevInuse) return "wrong previous-in-use bit";
            if (p->head & kCinuse) {
                prevInuse = true;
            } else {
                if (!prevInuse) return "two adjacent free chunks";
                if (p == m_top) {
                    if (sp != m_topSeg || size != m_topSize || reinterpret_cast<char*>(p) + size != end)
                        return "top is not the end of its segment";
                    topSeen = true;
                } else {
                    if (At(p, size)->prevFoot != size) return "free chunk with a wrong foot";
                    if (p == m_dv) {
                        if (size != m_dvSize) return "wrong victim size";
                        dvSeen = true;
                    } else {
                        ++walkedFree;
                    }
                }
                prevInuse = false;
            }
            p = At(p, size);
        }
        if ((p->head & ~kPinuse) != kSegmentFence) return "segment fence overwritten";
        if (bool(p->head & kPinuse) != prevInuse) return "wrong previous-in-use bit at the fence";
    }
    if (!topSeen) return "top not found in its segment";
    if (!dvSeen) return "victim not found in a segment";
    if (!topSegSeen) return "top segment not in the list";
    if (walkedFree != binned) return "free chunks and binned chunks differ";
    if (segmentBytes + m_mappedBytes != m_footprint) return "footprint differs from the segments";
    if (m_top && m_topSize < kMinChunk) return "top below the minimum chunk";
    return nullptr;
}

void Heap::ReleaseAll() noexcept
{
    // The calling thread's cache lies in the memory given back: forget it.
    for (ThreadCache** link = &t_caches; *link; link = &(*link)->next) {
        if ((*link)->heap == this) {
            *link = (*link)->next;
            break;
        }
    }
    const bool locked = Lock();
    Segment* sp = m_segments;
    while (sp) {
        char* base = sp->base;
        const size_t size = sp->size;
        sp = sp->next;
        UnmapPages(base, size);
    }
    ResetState();
    for (ExchangeBin& x : m_exchange) {
        x.batches = 0;
        x.blocks = 0;
    }
    Unlock(locked);
}

} // namespace vorn
