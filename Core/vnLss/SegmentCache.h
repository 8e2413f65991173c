// The segment cache: a bounded set of in-memory segment records keyed by segment id.
// A record is pinned while anyone uses it; unpinned records stay cached and are
// recycled least recently released first when the cache is full.
//
// Promises beyond plain caching:
// - A segment pinned by several threads at once is read from storage once.
// - A failed read fails every thread that waited for it with the same exception; the
//   record leaves the cache, so a later Pin reads again. No thread is handed a record
//   whose buffer holds another segment's bytes.
// - PinForWrite never takes over a record that someone else holds or that is being
//   read: such a record is detached (its holders keep it) and the writer gets another,
//   zero-filled record.
// - A segment read from storage has its sealed flush units checked against their CRCs
//   once, as it is read: HoldsVerified then tells whether a byte range lies inside one
//   unit that passed. Bytes that the log's writer put into the record itself (a record
//   pinned for writing, or a loaded head from where the writer resumed) need no check.
//   The cache remembers which units of a segment passed: when the segment is read again
//   and every such unit's header (CRC and size) is as it was, the units are not checked
//   again. Handing the segment to the writer forgets them. So a unit is checked the
//   first time its segment is read after the store opened or the writer last wrote it;
//   bytes changed behind the store while it is open are caught only where they change a
//   unit's header.
// - A pin never waits for ever: when every pinned record is held by the calling
//   thread, or by the log's writer with at most one record (its head, which nobody
//   releases while others wait), the record is taken beyond the capacity. The excess
//   goes again as records are released. Pins are held by the thread that took them,
//   or by the log's writer (forWriter); a pin released by another thread passes over.
// - A thread that others of the store may wait for never waits for records that other
//   threads hold: the log's writer, and a thread inside a StoreLockMark (the holder of
//   the segment writer's lock or of the map's lock). A reader that holds elements may
//   be waiting for exactly that thread (to open a transaction, at the log's bound for
//   a check point, or to look up the map), so waiting for its records could last for
//   ever. Such a thread waits only for records that the log's writer alone holds (the
//   lazy writer releases them, taking none of those locks), and otherwise takes a
//   record beyond the capacity. Only one thread holds each of those locks, so the
//   excess stays a few records.
#pragma once
#include "vnLss/Ras.h"
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vorn {

class FileException;
class SegmentCache;

// Where a store keeps the first failure of its storage.
class IBackgroundFailureRecorder {
public:
    virtual ~IBackgroundFailureRecorder() = default;
    virtual void RecordBackgroundFailure(const FileException& e) = 0;
};

// The records of a flush unit that passed its CRC check, [m_from, m_to), and the CRC
// word of its header.
struct CheckedUnit {
    int32_t m_from;
    int32_t m_to;
    uint32_t m_crc;
};

// One segment's bytes in memory, owned by the cache.
class Segment {
public:
    int32_t GetId() const { return m_id; }
    uint8_t* GetBuffer() const { return m_buffer; }
    int32_t GetSize() const { return m_size; }
    int32_t GetFillPosition() const { return m_fillPosition; }
    void SetFillPosition(int32_t p) { m_fillPosition = p; }
    uint64_t GetFileOffset() const;

    // Whether [from, to) lies inside one sealed unit that passed its CRC check when the
    // segment was read, or in what the log's writer put into the record itself.
    bool HoldsVerified(int64_t from, int64_t to) const;
    // The log's writer resumes in this loaded record at offset: what it writes from there
    // on is its own. Bytes already trusted before offset stay trusted (a record read
    // without the check trusts all of its bytes).
    void TrustFrom(int32_t offset);

    // Writes the whole segment, or the bytes [from, to) of it, to its place in storage.
    void WriteAll() const;
    void WriteRange(int32_t from, int32_t to) const;

private:
    friend class SegmentCache;
    Segment(IRAS* storage, int32_t size);
    // Traces a record that is still pinned, then frees the buffer.
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    IRAS* m_storage;
    int32_t m_id = 0;
    uint8_t* m_buffer;
    int32_t m_size;
    int32_t m_fillPosition = 0;
    // Fields below are guarded by the cache lock.
    int32_t m_pinCount = 0;
    Segment* m_prev = nullptr;   // release list links
    Segment* m_next = nullptr;
    bool m_inReleaseList = false;
    bool m_loading = false;      // being read from storage (or zero-filled for a writer)
    bool m_mapped = false;       // found by its id; a detached record is not
    bool m_zeroed = true;        // fresh from the storage, never handed out: only zeros
    std::exception_ptr m_failure; // the failed read, for the threads that waited on it
    // Where the records of each unit that passed its check lie, [first, second), in
    // ascending order (set while the record loads, read while it is pinned), and from
    // where on the bytes are the writer's own.
    std::vector<CheckedUnit> m_verifiedUnits;
    std::atomic<int32_t> m_trustedFrom{0};
    // Who holds the pins: a thread, or the log's writer (the null thread id).
    struct Holder {
        std::thread::id m_id;
        int32_t m_pins;
    };
    std::vector<Holder> m_holders;
};

class SegmentCache {
public:
    static constexpr int32_t kDefaultCapacity = 32;

    // Benchmarks' baseline only: whether segments read from storage from now on have
    // their units checked (process-wide; on by default). With it off every byte read
    // counts as verified; records read under either setting may be cached together.
    static void SetCheckUnitsOnLoad(bool on);

    SegmentCache(IRAS* storage, int32_t segmentSize, IBackgroundFailureRecorder* failures = nullptr);
    // Deletes every record (a record still pinned is reported in the trace).
    ~SegmentCache();
    SegmentCache(const SegmentCache&) = delete;
    SegmentCache& operator=(const SegmentCache&) = delete;

    // Changes the size of new records; only while the cache holds no record. An invalid
    // size throws vorn::CorruptLSSException.
    void SetSegmentSize(int32_t segmentSize);
    int32_t GetSegmentSize() const { return m_segmentSize; }

    // The record of segment id, pinned and loaded. Waits while every record is pinned.
    // A failed read throws its vorn::FileException (recorded as a background failure).
    // forWriter: the pin is the log writer's, not the calling thread's.
    Segment* Pin(int32_t id, bool forWriter = false);
    // A record for segment id, pinned for the log's writer, zero-filled, fill position
    // 0, not read.
    Segment* PinForWrite(int32_t id);
    void Unpin(Segment* segment, bool forWriter = false);
    // Unpins a held record, if any, and clears the holder.
    void ReleasePin(Segment*& holder, bool forWriter = false)
    {
        if (holder) {
            Unpin(holder, forWriter);
            holder = nullptr;
        }
    }

    // Capacity in records (at least 1); a lowered capacity takes effect as records
    // are recycled.
    void SetCapacity(int32_t count);
    int32_t GetCapacity();

    // Observers for statistics and tests.
    int32_t GetNumRecords();
    bool IsCached(int32_t id);
    // The pin count of the cached record of id, or -1 when there is none.
    int32_t GetPinCount(int32_t id);
    // How many times a thread has waited for a record to become free.
    int64_t GetNumRecordWaits();

private:
    using Lock = std::unique_lock<std::mutex>;
    bool CanGetRecord() const { return m_numRecords < m_capacity || m_releaseHead != nullptr; }
    // Under the cache lock, when no record is to be had: whether anyone but the calling
    // thread (and the writer's head) can release one; with writerOnly, only the log's
    // writer (a record that it alone holds besides its head).
    bool OthersCanRelease(bool writerOnly) const;
    // Waits until a record can be had, or takes one beyond the capacity when waiting
    // could not end; the record is pinned for holder. The log's writer and a marked
    // thread wait only for the writer's records.
    Segment* GetRecordWaiting(Lock& lock, int32_t id, std::thread::id holder);
    Segment* GetRecord(int32_t id, bool beyondCapacity = false);
    static void AddHolder(Segment* s, std::thread::id holder);
    static void RemoveHolder(Segment* s, std::thread::id holder);
    void ListAppend(Segment* s);
    void ListPrepend(Segment* s);
    void ListRemove(Segment* s);
    void Detach(Segment* s);
    void DropPin(Segment* s, std::thread::id holder);
    void DeleteRecord(Segment* s);
    void FailLoad(Segment* s, std::exception_ptr failure, std::thread::id holder);
    void ZeroForWriter(Lock& lock, Segment* s);
    // Under the cache lock: the writer takes segment id; its checked units are forgotten.
    void Forget(int32_t id);

    IRAS* m_storage;
    int32_t m_segmentSize;
    IBackgroundFailureRecorder* m_failures;

    std::mutex m_lock;
    // Signalled whenever a record becomes free, a load ends or the capacity changes.
    std::condition_variable m_changed;
    int32_t m_capacity = kDefaultCapacity;
    int32_t m_numRecords = 0;
    Segment* m_releaseHead = nullptr; // released longest ago
    Segment* m_releaseTail = nullptr;
    std::unordered_map<int32_t, Segment*> m_map;
    // The units that passed their check, of segments read since the writer last took them.
    std::unordered_map<int32_t, std::vector<CheckedUnit>> m_checked;
    uint64_t m_forgets = 0; // how often the writer took a segment

    std::unordered_set<Segment*> m_records; // every record, detached ones too
    int64_t m_numRecordWaits = 0;
    int32_t m_numWaiting = 0; // threads waiting for a record
    // Reads from storage happen one at a time.
    std::mutex m_loadLock;
};

// Marks the calling thread, for the scope of the object, as one that other threads of
// the store may wait for (see SegmentCache): its pins never wait for records held by
// other threads. Marks nest.
class StoreLockMark {
public:
    StoreLockMark() { Enter(); }
    ~StoreLockMark() { Leave(); }
    StoreLockMark(const StoreLockMark&) = delete;
    StoreLockMark& operator=(const StoreLockMark&) = delete;
    // For a lock entered and left by hand.
    static void Enter();
    static void Leave();
    static bool IsMarked();
};

// A segment pinned through the cache for the scope of the object.
class PinnedSegment {
public:
    PinnedSegment(SegmentCache& cache, int32_t id) : m_cache(cache), m_segment(cache.Pin(id)) {}
    ~PinnedSegment() { m_cache.Unpin(m_segment); }
    PinnedSegment(const PinnedSegment&) = delete;
    PinnedSegment& operator=(const PinnedSegment&) = delete;
    Segment* Get() const { return m_segment; }
    const uint8_t* Buffer() const { return m_segment->GetBuffer(); }
private:
    SegmentCache& m_cache;
    Segment* m_segment;
};

} // namespace vorn
