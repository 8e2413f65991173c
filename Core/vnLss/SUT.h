// The segment utilisation table of a store: for every segment id the bytes of live
// packets it holds, the reservations on segments, and the lists of free segments.
//
// A segment is free when its utilisation is 0 and nobody reserves it. A segment that
// becomes free goes to the delta-FSS; only the check point moves it on to the FSS
// (TakeDeltaFSS after writing the root division, MergeIntoFSS after the root block is
// out), and AllocateSegment takes the lowest id from the FSS. A segment is listed at
// most once, and leaves its list as soon as it gains utilisation or a reservation, so
// no segment in use is ever handed out. Ids outside the table throw
// vorn::CorruptLSSException.
//
// The table is small (every entry in the root division) until its image would reach
// 0x5000 bytes, then large: pages of one segment each, written to freshly allocated
// segments at each check point.
#pragma once
#include "vnLss/Ras.h"
#include "vnUtils/Archive.h"
#include "vnUtils/XVector.h"
#include <cstdint>
#include <deque>
#include <mutex>

namespace vorn {

class TextWriter;
class SUT;

class ISUT {
public:
    virtual ~ISUT() = default;
    virtual void Serialise(Archive& ar) = 0;
    virtual InputArchive Deserialise(InputArchive ar) = 0;
    virtual int32_t Get(int32_t index) = 0;
    virtual void Set(int32_t index, int32_t value) = 0;
    virtual int32_t GetCount() = 0;
    virtual void Append() = 0;
};

class SmallSUT : public ISUT {
public:
    explicit SmallSUT(SUT* owner) : m_owner(owner) {}
    void Serialise(Archive& ar) override;
    InputArchive Deserialise(InputArchive ar) override;
    int32_t Get(int32_t index) override { return m_values[index]; }
    void Set(int32_t index, int32_t value) override { m_values[index] = value; }
    int32_t GetCount() override { return m_values.size(); }
    void Append() override { m_values.push_back(0); }
    void Release() { m_values.Release(); }
private:
    SUT* m_owner;
    xvector<int32_t> m_values;
};

class LargeSUT : public ISUT {
public:
    explicit LargeSUT(SUT* owner) : m_owner(owner) {}
    ~LargeSUT() override;
    void Serialise(Archive& ar) override;
    InputArchive Deserialise(InputArchive ar) override;
    int32_t Get(int32_t index) override;
    void Set(int32_t index, int32_t value) override;
    int32_t GetCount() override { return m_count; }
    void Append() override;

private:
    friend class SUT;
    struct Page {
        int32_t m_segmentId = 0;
        uint8_t* m_buffer = nullptr;
        bool m_dirty = false;
    };
    struct PageSlot {
        int32_t m_segmentId = 0; // 0 until first written
        Page* m_page = nullptr;  // null until loaded
    };
    void Configure(int32_t pageSize);
    Page* LoadPage(int32_t pageIndex);
    Page* NewPage();
    void FreePages();

    SUT* m_owner;
    int32_t m_pageSize = 0;
    int32_t m_entriesPerPage = 0;
    xvector<PageSlot> m_pages;
    int32_t m_count = 0;
};

class SUT {
public:
    // Where a segment id stands in the free lists.
    enum ListState : uint8_t { kUnlisted = 0, kInFSS = 1, kInDeltaFSS = 2, kPendingMerge = 3 };

    explicit SUT(IRAS* storage);
    // Reports reservations still held in the trace.
    ~SUT();
    SUT(const SUT&) = delete;
    SUT& operator=(const SUT&) = delete;

    // Set at create and at open, while the table is empty; an invalid size throws
    // vorn::CorruptLSSException.
    void SetSegmentSize(int32_t size);
    int32_t GetSegmentSize();

    int32_t GetNumSegments();
    int32_t GetUtilisation(int32_t id);
    int64_t GetTotalUtilisation();
    void AddUtilisation(int32_t id, int32_t delta);
    // A free segment (the lowest of the FSS, else a new id), reserved for the caller.
    int32_t AllocateSegment();
    // Recovery's claim on segment s found in the log: the table grows to cover it (the
    // new ids join the FSS), s leaves the free lists and is reserved. An s past the end
    // of the storage by more than one segment throws vorn::CorruptLSSException.
    void TakeSegment(int32_t s);
    void Reserve(int32_t id);
    void Release(int32_t id);
    int32_t GetReservationCount(int32_t id);
    bool IsLarge();

    // Called by each check point before the root division is written.
    void ChangeOverIfNeeded();
    void TakeDeltaFSS(std::deque<int32_t>& out);
    void MergeIntoFSS(std::deque<int32_t>& in);
    int32_t GetHighestUsedSegment();

    void Serialise(Archive& ar);
    // Reads a table written by Serialise and rebuilds the free lists. Everything read is
    // checked: damaged input throws vorn::CorruptLSSException, a wrong schema
    // vorn::DeserialisationException.
    InputArchive Deserialise(InputArchive ar);
    void Dump(TextWriter& w);

    // Copies of the free lists, for statistics and tests.
    std::deque<int32_t> GetFSS();
    std::deque<int32_t> GetDeltaFSS();

    // The serialised size of a small table of count entries stays below this.
    static constexpr int32_t kSmallImageLimit = 0x4FFF;

private:
    void ResetToEmpty();
    friend class SmallSUT;
    friend class LargeSUT;
    using Lock = std::lock_guard<std::mutex>;

    void CheckId(int32_t id) const;
    int32_t CountLocked() { return m_current->GetCount(); }
    void AppendLocked();
    int32_t AllocateSegmentLocked();
    void ReserveLocked(int32_t id);
    void ReleaseLocked(int32_t id);
    bool IsFreeLocked(int32_t id) { return m_reservations[id] == 0 && m_current->Get(id) == 0; }
    void MarkFreed(int32_t id);
    void MarkInUse(int32_t id);
    void RebuildFreeLists();
    void WriteDirtyPages();
    [[noreturn]] static void ThrowCorrupt(const char* what);

    IRAS* m_storage;
    std::mutex m_lock;
    int32_t m_segmentSize = 0;
    int64_t m_totalUtilisation = 0;
    ISUT* m_current;
    SmallSUT m_small;
    LargeSUT m_large;
    // Per segment id: reservation count and list state (kept as long as the table).
    xvector<int32_t> m_reservations;
    xvector<uint8_t> m_listState;
    int32_t m_numReserved = 0; // segments with a reservation
    std::deque<int32_t> m_fss;
    std::deque<int32_t> m_deltaFss;
};

} // namespace vorn
