// The store's cleaner: a background thread that copies the live packets out of
// segments of low utilisation to the head of the log, so that those segments empty and
// become free at a later check point. The check point recomputes the candidate
// segments (emptiest first); the thread works through them in passes of about 0.2 s
// under the segment writer's lock, at most once a second.
//
// A moved packet is a byte copy of the original with the moved flag set; the map and
// the utilisation table follow it. The original stays untouched, so a reader that
// looked the packet up before the move still reads the same bytes. Any failure in a
// pass is recorded as the store's failure and ends the thread.
#pragma once
#include "vnLss/LogFormat.h"
#include "vnLss/StoreThread.h"
#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

namespace vorn {

class LssInternal;

class LazyCleaner : public StoreThread {
public:
    using StoreThread::StoreThread;
    void ThreadMain() override;

    // Called with the segment writer's lock held (by the check point).
    void RecomputeCandidates();
    // Cleans one segment; called with the segment writer's lock held.
    void CleanSegment(int32_t segmentId);

    // Observers for tests (under the segment writer's lock).
    bool HasCandidates() const { return m_hasCandidates.load(); }
    const std::deque<int32_t>& GetCandidates() const { return m_candidates; }

    // Counters for statistics and tests (any thread).
    int64_t GetNumPasses() const { return m_numPasses.load(std::memory_order_acquire); }
    int64_t GetNumSegmentsCleaned() const { return m_numSegmentsCleaned.load(std::memory_order_relaxed); }
    int64_t GetBytesMoved() const { return m_bytesMoved.load(std::memory_order_relaxed); }

private:
    friend class CleanerLogRecordVisitor;
    static constexpr int kNumBuckets = 20;
    static constexpr uint32_t kWaitMilliSec = 1000;
    static constexpr double kPassSeconds = 0.2;

    // One pass over the queue; false when the thread is to end.
    bool RunPass();

    std::atomic<bool> m_hasCandidates{false};
    std::deque<int32_t> m_candidates;
    std::vector<int32_t> m_buckets[kNumBuckets]; // kept for their capacity
    std::atomic<int64_t> m_numPasses{0};
    std::atomic<int64_t> m_numSegmentsCleaned{0};
    std::atomic<int64_t> m_bytesMoved{0};
};

// Visits the packets of the segment being cleaned: a live packet (the map names
// exactly its place) moves to the head of the log, unless it does not fit there while
// the head is still less full than the cleaner's percentage; then it stays and counts
// as left behind. Runs under the segment writer's lock.
class CleanerLogRecordVisitor : public ILogRecordVisitor {
public:
    CleanerLogRecordVisitor(LssInternal* store, int32_t segmentId, const uint8_t* segmentBuffer);
    void VisitPacket(const PacketHeader& packet) override;
    void VisitTransaction(int32_t, int32_t, int64_t, HPTime) override {}
    void VisitDelete(SeidLow, SeidHigh) override {}

    // Bytes of live packets that stayed in the segment.
    int64_t GetBytesLeftBehind() const { return m_leftBehind; }
    int64_t GetBytesMoved() const { return m_moved; }

private:
    LssInternal* m_store;
    int32_t m_segmentId;
    const uint8_t* m_segmentBuffer;
    int64_t m_leftBehind = 0;
    int64_t m_moved = 0;
};

} // namespace vorn
