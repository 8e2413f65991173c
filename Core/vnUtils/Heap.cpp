#include "vnUtils/Heap.h"
#include "vnUtils/HeapDetail.h"
#include "vnPlatform/Futex.h"
#include "vnPlatform/Memory.h"
#include <cstdio>
#include <cstdlib>

// The boundary-tag heap: its lock, bins, allocation and freeing under the lock, and
// inspection. The thread caches are in HeapThreadCache.cpp, system memory in
// HeapPages.cpp.

namespace vorn {

using namespace heapdetail;

namespace {

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
