// The head of the log: the segment writer appends records into flush units of the
// current segment (under its recursive lock, held by one appender at a time), moves to
// a fresh segment when a record does not fit, and hands full segments to the lazy
// writer (LazyWriter.h), whose thread writes them to the file.
#pragma once
#include "vnLss/LazyWriter.h"
#include "vnLss/LogFormat.h"
#include "vnLss/RPM.h"
#include "vnUtils/Threads.h"
#include <atomic>
#include <cstdint>

namespace vorn {

class LssInternal;
class Segment;

// Where a stopped writer resumes: the open unit's identity and place.
struct LogHead {
    Guid m_cpid{};
    uint32_t m_fsn = 1;
    int32_t m_segmentId = 0;
    int32_t m_offset = 0;
    int32_t m_nextSegId = 0;
};

class SegmentWriter : public IRpmPacketWriter {
public:
    explicit SegmentWriter(LssInternal* store);
    ~SegmentWriter() override;

    // With a head: resume there (the head's segment and next segment are reserved by
    // the caller); without: a new store's first segment.
    void Start(const LogHead* head);
    void Stop();
    bool IsStarted() const { return m_started; }

    // Entered and left by an owner (SegmentWriterLock) or handed to one that leaves it
    // on every path (the store's transaction, whose Close leaves it).
    void Lock(bool isCheckPoint);
    void Unlock();
    // The bare lock (a flush takes it without the check-point accounting).
    CriticalSection& GetLock() { return m_lock; }

    int32_t Remaining() const { return m_segmentSize - m_writeOffset; }
    // Takes a new segment unless n bytes remain.
    void EnsureRoom(int32_t n)
    {
        if (Remaining() < n) NewSegment();
    }
    void Append(const void* bytes, int32_t n);
    void NewSegment();
    // Seals the open unit; returns the end-of-log position. Throws
    // vorn::ProgrammingErrorException while an element's packet is open.
    LogPosition Flush();
    void RestampForCheckPoint(const Guid& cpid);

    // An element writer's packet is open: nothing else may be appended or sealed.
    void SetElementOpen(bool open) { m_elementOpen = open; }
    bool IsElementOpen() const { return m_elementOpen; }
    void CheckNoElementOpen(const char* operation) const;

    LazyWriter& GetLazyWriter() { return m_lazyWriter; }
    // State of the head (under the lock).
    int32_t GetSegmentId() const { return m_segmentId; }
    int32_t GetWriteOffset() const { return m_writeOffset; }
    int32_t GetUnitOffset() const { return m_unitOffset; }
    uint8_t* GetBuffer() const { return m_buffer; }
    int32_t GetSegmentSize() const { return m_segmentSize; }
    LogHead GetHead() const;
    bool UnitIsEmpty() const { return m_writeOffset == m_unitOffset + kFlushUnitHeaderSize; }
    int32_t GetNumSegmentsSinceCheckPoint() const { return m_numSegments; }
    // Segments the log has entered after the last committed check point: what a
    // recovery would replay (any thread). A check point marks where its log begins
    // (under the lock) and, once its division is committed, drops what came before.
    int32_t GetSegmentsAfterCheckPoint() const { return m_segmentsAfterCheckPoint.load(std::memory_order_acquire); }
    void MarkCheckPointLog() { m_segmentsBeforeMark = m_segmentsAfterCheckPoint.load(std::memory_order_relaxed); }
    void CheckPointCommitted()
    {
        m_segmentsAfterCheckPoint.fetch_sub(m_segmentsBeforeMark, std::memory_order_acq_rel);
        m_segmentsBeforeMark = 0;
    }

    // IRpmPacketWriter: node packets of the map.
    IOutputStream& BeginNodePacket(Seid seid) override;
    void EndNodePacket(RpmPosition& pos, int32_t& packetSize) override;

private:
    // The stream of a node packet's payload.
    class NodeStream : public IOutputStream {
    public:
        explicit NodeStream(SegmentWriter* w) : m_w(w) {}
        void WriteStream(const void* buffer, ssize_t numBytes) override { m_w->WriteNodeBytes(buffer, numBytes); }
        void Flush() override {}
    private:
        SegmentWriter* m_w;
    };
    void WriteNodeBytes(const void* buffer, ssize_t numBytes);

    void BeginUnit(int32_t offset);
    bool SealUnit();
    void BeginNodePacketHere(Seid seid);

    LssInternal* m_store;
    bool m_started = false;
    LazyWriter m_lazyWriter;
    CriticalSection m_lock;
    int32_t m_numSegments = 0;
    std::atomic<int32_t> m_segmentsAfterCheckPoint{0};
    int32_t m_segmentsBeforeMark = 0; // under the check-point lock
    bool m_isCheckPoint = false;
    int32_t m_lockDepth = 0;

    Guid m_cpid{};
    uint32_t m_fsn = 1;
    int32_t m_nextSegId = 0;
    Segment* m_segment = nullptr;
    int32_t m_segmentId = 0;
    int32_t m_sectorSize = 512;
    int32_t m_segmentSize = 0;
    uint8_t* m_buffer = nullptr;
    int32_t m_unitOffset = 0;
    int32_t m_writeOffset = 0;
    bool m_unitOpen = false;
    bool m_elementOpen = false;

    // The node packet being written.
    Seid m_nodeSeid;
    int32_t m_nodeOffset = 0;
    bool m_nodeIndentRaised = false;
    NodeStream m_nodeStream{this};
};

// Holds the segment writer's lock for a scope (Lock on construction; Unlock, now or on
// leaving, whatever leaves the scope).
class SegmentWriterLock {
public:
    SegmentWriterLock(SegmentWriter& writer, bool isCheckPoint) : m_writer(&writer) { writer.Lock(isCheckPoint); }
    ~SegmentWriterLock() { Unlock(); }
    SegmentWriterLock(const SegmentWriterLock&) = delete;
    SegmentWriterLock& operator=(const SegmentWriterLock&) = delete;
    void Unlock()
    {
        if (m_writer) {
            SegmentWriter* w = m_writer;
            m_writer = nullptr;
            w->Unlock();
        }
    }

private:
    SegmentWriter* m_writer;
};

} // namespace vorn
