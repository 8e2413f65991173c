// The head of the log: the segment writer appends records into flush units of the
// current segment (under its recursive lock, held by one appender at a time), moves to
// a fresh segment when a record does not fit, and hands full segments to the lazy
// writer, whose thread writes them to the file. The lazy flusher seals the open unit
// and writes the partly filled head segment when the log has been quiet for the flush
// period. Appenders never wait for file I/O, except in a synchronous flush.
#pragma once
#include "vnLss/LogFormat.h"
#include "vnLss/RPM.h"
#include "vnUtils/Threads.h"
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

namespace vorn {

class LSS;
class Segment;

// The common shape of the store's threads: a running flag, the thread record, a stop
// flag and an auto-reset event. Every exception that escapes a body is recorded as the
// store's failure by the body itself.
class StoreThread : public IWorkerThreadFn {
public:
    explicit StoreThread(LSS* store);
    ~StoreThread() override;
    void Start();
    // Sets the stop flag, signals and (from another thread) waits for the thread.
    void Stop();
    void Signal() { m_event.Set(); }
    bool IsRunning() const { return m_running.load(); }

protected:
    LSS* m_store;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    Event m_event;
    WorkerThreadX m_thread;
};

class LazyFlusher : public StoreThread {
public:
    using StoreThread::StoreThread;
    void ThreadMain() override;
};

class LazyWriter : public StoreThread {
public:
    explicit LazyWriter(LSS* store);
    ~LazyWriter() override;

    // The head segment is on disk up to offset.
    void Start(int32_t segmentId, int32_t offset);
    void Stop();
    // Takes over the segment's pin.
    void QueueFullSegment(Segment* segment);
    void SetPartial(Segment* segment, int32_t fill);
    // Writes every queued segment and the head segment up to its reported fill, then
    // throws the store's recorded failure, if any.
    void Flush(bool finishDelta);
    void ThreadMain() override;

    // Observers for tests.
    LogPosition GetWrittenPosition();
    int32_t GetQueueLength();
    int64_t GetBytesWritten() const { return m_bytesWritten.load(std::memory_order_relaxed); }

private:
    void WriteSegment(Segment* segment);
    void WriteRange(Segment* segment, int32_t from, int32_t to);

    LazyFlusher m_flusher;
    CriticalSection m_queueLock;
    std::deque<Segment*> m_queue;
    Segment* m_partial = nullptr;
    int32_t m_partialFill = 0;
    CriticalSection m_writeLock;
    LogPosition m_written; // under the write lock
    std::atomic<int64_t> m_bytesWritten{0};
};

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
    explicit SegmentWriter(LSS* store);
    ~SegmentWriter() override;

    // With a head: resume there (the head's segment and next segment are reserved by
    // the caller); without: a new store's first segment.
    void Start(const LogHead* head);
    void Stop();
    bool IsStarted() const { return m_started; }

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
    // Segments the log has entered since the last check point began its new log (an
    // observer; any thread).
    int32_t GetSegmentsAfterCheckPoint() const { return m_segmentsAfterCheckPoint.load(std::memory_order_relaxed); }

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

    LSS* m_store;
    bool m_started = false;
    LazyWriter m_lazyWriter;
    CriticalSection m_lock;
    int32_t m_numSegments = 0;
    std::atomic<int32_t> m_segmentsAfterCheckPoint{0};
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

} // namespace vorn
