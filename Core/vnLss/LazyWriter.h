// The lazy writer: its thread writes the full segments the segment writer hands over,
// in order, and on a flush the head segment up to its reported fill; it starts and
// stops the lazy flusher with it. Appenders never wait for its file I/O, except in a
// synchronous flush.
#pragma once
#include "vnLss/LazyFlusher.h"
#include "vnLss/LogFormat.h"
#include "vnUtils/Threads.h"
#include <atomic>
#include <cstdint>
#include <deque>

namespace vorn {

class Segment;

class LazyWriter : public StoreThread {
public:
    explicit LazyWriter(LssInternal* store);
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

} // namespace vorn
