// vorn::Heap: a boundary-tag allocator. Exact-size bins for small chunks, trie bins
// (keyed on the size's bits, four per level) for large ones, a designated victim (the remainder of the last split) and a top
// chunk at the end of the newest segment; segments are obtained from the system in
// units of 64 KiB, requests of 256 KiB and more get a mapping of their own. Every block
// is aligned to 16 bytes. One recursive lock guards each heap's shared state, so any
// thread may call it (while the process has a single thread the lock is skipped;
// HeapPages callbacks must not start threads). A thread that finds the lock held spins
// briefly, then sleeps until the holder wakes it. Memory is mapped and unmapped with
// the lock released.
//
// A heap built with ThreadCaching::On keeps, for every thread that allocates from it,
// a cache of free blocks up to kCacheMaxChunk bytes in size classes: a request that the
// cache can serve, and a free that it can take, touch no shared state. The cache fills
// and drains in batches under one lock, is bounded in blocks per class and in bytes,
// and gives everything back to the heap when its thread ends (or on FlushThreadCache).
// A cache that holds too many blocks of a class hands a batch of them to the heap's
// exchange for that class, and one that has none takes a batch from there: threads
// whose frees and requests balance out pass memory between each other through a lock of
// the class's own, and seldom take the heap's lock. The exchange is bounded per class
// and emptied into the heap when a thread's cache is given back. A second free of a
// block is caught when both frees pass through one thread's cache, when the block waits
// in the exchange (whichever thread freed it), or when it reached the shared heap.
//
// A Heap has a constant initialiser and a trivial destructor: a static one works before
// and after main. MemAlloc/MemFree use one process-wide instance (with thread caching).
// Memory of a heap instance is never returned by destruction (see ReleaseAll). Before a
// caching heap is released or goes away, every other thread that allocated from it
// must have ended or called FlushThreadCache.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn {

namespace heapdetail {
// Size classes of the thread caches.
constexpr uint32_t kCacheClasses = 63;
// Batches one class of the exchange holds at most.
constexpr uint32_t kExchangeBatches = 8;
struct CachedBlock;
struct Chunk;
struct TreeChunk;
struct Segment;
struct ThreadCache;
struct PendingUnmaps;
} // namespace heapdetail

// Where a heap obtains its memory, in whole pages. The default (a Heap built without
// one) is the operating system's memory.
struct HeapPages {
    // Maps `bytes` (a multiple of pageSize) of read-write memory; exactly at `at` when
    // that is non-null, else anywhere. Null when refused.
    void* (*map)(void* context, void* at, size_t bytes);
    // Gives back a page range that was mapped: whole mappings, runs of adjacent ones, or
    // the end of one.
    bool (*unmap)(void* context, void* p, size_t bytes);
    // The page size; a power of 2.
    size_t (*pageSize)(void* context);
    void* context;
};

struct HeapStats {
    size_t footprint = 0;       // bytes obtained from the system and not yet returned
    size_t maxFootprint = 0;    // the highest footprint so far
    size_t segments = 0;        // segments the heap carves chunks from
    size_t topSize = 0;         // the top chunk's size
    size_t mappedBlocks = 0;    // live blocks with a mapping of their own
    size_t mappedBytes = 0;     // the bytes of those mappings
};

class Heap {
public:
    static constexpr size_t kAlignment = 16;
    static constexpr size_t kMinChunk = 32;
    // Requests up to this many bytes are small: they are served from exact-size bins.
    static constexpr size_t kMaxSmallRequest = 488;
    // Requests of this many bytes or more fail at once.
    static constexpr size_t kMaxRequest = ~size_t(0) - 127;
    static constexpr size_t kMapThreshold = 0x40000;
    static constexpr size_t kTrimThreshold = 0x200000;
    static constexpr size_t kGranularity = 0x10000;
    // Bytes at the end of every segment after the top chunk: fence words and the
    // segment's record.
    static constexpr size_t kSegmentTail = 48;
    // The largest chunk a thread cache serves (a request of up to this less 8 bytes).
    static constexpr size_t kCacheMaxChunk = 0x20000;

    enum class ThreadCaching { Off, On };

    constexpr Heap() noexcept = default;
    explicit constexpr Heap(const HeapPages* pages, ThreadCaching caching = ThreadCaching::Off) noexcept
        : m_threadCaching(caching == ThreadCaching::On), m_pages(pages) {}
    Heap(const Heap&) = delete;
    Heap& operator=(const Heap&) = delete;

    // A block of at least n bytes aligned to 16, or null when n >= kMaxRequest or the
    // system refuses memory. Alloc(0) returns a valid minimal block.
    void* Alloc(size_t n) noexcept;
    // Returns a block from Alloc of this heap; null is ignored. A pointer that is not a
    // live block of the heap (when detectably so) aborts the process.
    void Free(void* p) noexcept;
    // The bytes a caller may use in a live block of this heap (at least what it asked).
    size_t UsableSize(const void* p) noexcept;

    HeapStats Stats() noexcept;
    // The bytes of all chunks in use (blocks held by callers or by thread caches, and
    // their overhead), found by walking every segment.
    size_t BytesInUse() noexcept;
    // Walks every segment, chunk and bin and checks the heap's invariants. Returns null
    // when they hold, else a text naming the first one broken.
    const char* Check() noexcept;
    // Returns all segments to the system and resets the heap to its unused state. Only
    // for a heap whose blocks are all freed (or abandoned); not for the process heap.
    // The calling thread's cache of this heap is dropped with it.
    void ReleaseAll() noexcept;
    // Gives the calling thread's cached blocks of this heap back to the heap, and the
    // blocks waiting in the heap's exchange (as its thread's end does).
    void FlushThreadCache() noexcept;
    // Gives back the caches the calling thread holds of every heap; later requests of
    // the thread bypass its caches. Runs by itself when a thread ends.
    static void ReleaseThreadCaches() noexcept;

private:
    using Chunk = heapdetail::Chunk;
    using TreeChunk = heapdetail::TreeChunk;
    using Segment = heapdetail::Segment;

    // Chunk-shaped list heads of the small bins: only fd and bk are used.
    struct BinHead {
        size_t prevFoot;
        size_t head;
        Chunk* fd;
        Chunk* bk;
    };

    using ThreadCache = heapdetail::ThreadCache;
    using PendingUnmaps = heapdetail::PendingUnmaps;
    using CachedBlock = heapdetail::CachedBlock;

    // The exchange of one size class: whole batches (lists of blocks) under a spin lock
    // of their own. A cache line or two of its own, so that classes do not contend.
    struct alignas(64) ExchangeBin {
        std::atomic<uint32_t> lock{0};
        uint32_t batches = 0;
        uint32_t blocks = 0;   // in all batches
        uint32_t counts[heapdetail::kExchangeBatches] = {};
        CachedBlock* lists[heapdetail::kExchangeBatches] = {};
    };

    // Lock returns whether it took the lock; Unlock gets that answer.
    bool Lock() noexcept;
    void LockSlow() noexcept;
    void Unlock(bool locked) noexcept;
    // Lets go of the lock around a system call when this thread holds it once; returns
    // whether it did (then Lock takes it again).
    bool DropLockForSystem() noexcept;
    void Init() noexcept;
    void ResetState() noexcept;

    void* AllocLocked(size_t nb) noexcept;
    void FreeLocked(void* mem, PendingUnmaps& pending) noexcept;
    void FreeShared(void* mem) noexcept;
    void FinishUnmaps(PendingUnmaps& pending) noexcept;
    void AdoptFreeRange(char* base, size_t size) noexcept;

    ThreadCache* CacheOfThisThread() noexcept;
    void* CacheRefill(ThreadCache* c, uint32_t cls) noexcept;
    void CacheDrain(ThreadCache* c, uint32_t cls, uint32_t keep) noexcept;
    void CacheRelease(ThreadCache* c) noexcept;
    void FreeList(CachedBlock* list, size_t size, PendingUnmaps& pending) noexcept;
    bool ExchangePut(uint32_t cls, CachedBlock* list, uint32_t count) noexcept;
    CachedBlock* ExchangeTake(uint32_t cls, uint32_t maxCount, uint32_t* count) noexcept;
    bool ExchangeHolds(uint32_t cls, const CachedBlock* b) noexcept;
    void ExchangeEmpty() noexcept;
    void* TreeAllocSmall(size_t nb) noexcept;
    void* TreeAllocLarge(size_t nb) noexcept;
    void* CarveDv(size_t nb) noexcept;
    void* CarveTop(size_t nb) noexcept;
    void* SysAlloc(size_t nb) noexcept;
    void* DirectMap(size_t nb) noexcept;
    void* PrependAlloc(Segment* seg, char* base, size_t size, size_t nb) noexcept;
    void AddSegment(char* base, size_t size) noexcept;
    void ExtendTop(size_t size) noexcept;
    void MoveSegmentRecord(Segment* from, Segment* to) noexcept;

    Chunk* SmallBin(uint32_t i) noexcept { return reinterpret_cast<Chunk*>(&m_smallBins[i]); }
    void InsertSmall(Chunk* p, size_t size) noexcept;
    void UnlinkSmall(Chunk* p, size_t size) noexcept;
    void InsertTree(TreeChunk* x, size_t size) noexcept;
    void UnlinkTree(TreeChunk* x) noexcept;
    void InsertChunk(Chunk* p, size_t size) noexcept;
    void UnlinkChunk(Chunk* p, size_t size) noexcept;
    void ReplaceDv(Chunk* p, size_t size) noexcept;

    void Trim(PendingUnmaps& pending) noexcept;
    void ReleaseUnusedSegments(PendingUnmaps& pending) noexcept;
    void* MapPages(void* at, size_t bytes, bool segment) noexcept;
    bool UnmapPages(void* p, size_t bytes) noexcept;
    void NoteObtained(char* base, size_t bytes) noexcept;
    const char* CheckLocked() noexcept;
    [[noreturn]] static void Corrupt() noexcept;

    // The lock has a cache line of its own, so that threads waiting for it do not
    // steal the heap's state from the holder.
    alignas(64) std::atomic<uint32_t> m_lockWord{0};   // free, held, held with sleepers
    uint32_t m_lockCount = 0;
    std::atomic<uintptr_t> m_owner{0};                 // the holder's thread tag

    // Read without the lock on every request: a line of its own that hardly changes.
    alignas(64) bool m_threadCaching = false;
    char* m_leastAddr = nullptr;   // stored atomically (read without the lock)
    const HeapPages* m_pages = nullptr;

    alignas(64) uint32_t m_magic = 0;

    uint32_t m_smallMap = 0;
    uint32_t m_treeMap = 0;
    BinHead m_smallBins[32] = {};
    TreeChunk* m_treeBins[32] = {};

    Chunk* m_dv = nullptr;
    size_t m_dvSize = 0;
    Chunk* m_top = nullptr;
    size_t m_topSize = 0;
    Segment* m_segments = nullptr;   // singly linked list of segment records
    Segment* m_topSeg = nullptr;     // the segment the top chunk lies in

    size_t m_footprint = 0;
    size_t m_maxFootprint = 0;
    size_t m_mappedBlocks = 0;
    size_t m_mappedBytes = 0;
    size_t m_trimCheck = 0;          // top size above which freeing trims
    uint32_t m_releaseCountdown = 0;
    uint32_t m_flags = 0;

    size_t m_pageSize = 0;
    size_t m_granularity = 0;
    size_t m_mapThreshold = 0;
    size_t m_trimThreshold = 0;

    ExchangeBin m_exchange[heapdetail::kCacheClasses] = {};

};

} // namespace vorn
