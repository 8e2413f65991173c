// What the parts of vorn::Heap share: the layout of chunks, segment records and thread
// caches, the size-word flags and constants, the size classes of the thread caches, and
// the calling thread's list of caches. For Heap*.cpp only; nothing outside the heap
// includes it.
#pragma once
#include "vnUtils/Heap.h"
#include "vnPlatform/Memory.h"
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn::heapdetail {

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

inline constinit std::atomic<const char*> g_onlyThreadFlag{nullptr};

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

// The calling thread's caches of heaps, most recently used first.
inline constinit thread_local ThreadCache* t_caches = nullptr;

// The calling thread's cache of heap, moved to the front of the list; null when none.
inline ThreadCache* FindThreadCache(const Heap* heap) noexcept
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

} // namespace vorn::heapdetail
