// vorn::Heap: a boundary-tag allocator. Exact-size bins for small chunks, trie bins
// (keyed on the size's bits, four per level) for large ones, a designated victim (the remainder of the last split) and a top
// chunk at the end of the newest segment; segments are obtained from the system in
// units of 64 KiB, requests of 256 KiB and more get a mapping of their own. Every block
// is aligned to 16 bytes. One recursive lock guards each heap, so any thread may call it
// (while the process has a single thread the lock is skipped; HeapPages callbacks must
// not start threads).
// A Heap has a constant initialiser and a trivial destructor: a static one works before
// and after main. MemAlloc/MemFree use one process-wide instance. Memory of a heap
// instance is never returned by destruction (see ReleaseAll).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn {

namespace heapdetail {
struct Chunk;
struct TreeChunk;
struct Segment;
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

    constexpr Heap() noexcept = default;
    explicit constexpr Heap(const HeapPages* pages) noexcept : m_pages(pages) {}
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
    // Walks every segment, chunk and bin and checks the heap's invariants. Returns null
    // when they hold, else a text naming the first one broken.
    const char* Check() noexcept;
    // Returns all segments to the system and resets the heap to its unused state. Only
    // for a heap whose blocks are all freed (or abandoned); not for the process heap.
    void ReleaseAll() noexcept;

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

    // Lock returns whether it took the lock; Unlock gets that answer.
    bool Lock() noexcept;
    void LockSlow(uintptr_t me) noexcept;
    void Unlock(bool locked) noexcept;
    void Init() noexcept;
    void ResetState() noexcept;

    void* AllocLocked(size_t n) noexcept;
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

    bool Trim() noexcept;
    size_t ReleaseUnusedSegments() noexcept;
    void* MapPages(void* at, size_t bytes, bool segment) noexcept;
    bool UnmapPages(void* p, size_t bytes) noexcept;
    void NoteObtained(char* base, size_t bytes) noexcept;
    const char* CheckLocked() noexcept;
    [[noreturn]] static void Corrupt() noexcept;

    // The lock has a cache line of its own, so that threads waiting for it do not
    // steal the heap's state from the holder.
    alignas(64) std::atomic<uintptr_t> m_owner{0};
    uint32_t m_lockCount = 0;
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
    char* m_leastAddr = nullptr;

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

    const HeapPages* m_pages = nullptr;
};

} // namespace vorn
