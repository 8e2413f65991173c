#include "vnUtils/Heap.h"
#include "vnUtils/HeapDetail.h"
#include "vnPlatform/Memory.h"

// A heap's system memory: mapping and unmapping pages, fitting new segments in, giving
// free memory back (trimming the top, releasing wholly free segments).

namespace vorn {

using namespace heapdetail;

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
    NoteObtained(mm, msize);
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

} // namespace vorn
