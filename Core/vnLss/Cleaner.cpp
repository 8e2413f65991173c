#include "vnLss/Cleaner.h"
#include "vnLss/LssInternal.h"
#include "vnLss/LssSettings.h"
#include "vnLss/RPM.h"
#include "vnLss/Ras.h"
#include "vnLss/SUT.h"
#include "vnLss/SegmentCache.h"
#include "vnLss/SegmentWriter.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include <cstring>
#include <exception>

namespace vorn {

// ---------------------------------------------------------------------------------
// Candidates

void LazyCleaner::RecomputeCandidates()
{
    SUT& sut = m_store->GetSUT();
    const int32_t segmentSize = sut.GetSegmentSize();
    const double threshold = double(segmentSize) * m_store->GetSettings().m_cleanerUtilisationPercent / 100.0;
    const int32_t head = m_store->GetSegmentWriter().GetSegmentId();
    for (auto& b : m_buckets) b.clear();
    const int32_t count = sut.GetNumSegments();
    for (int32_t i = 1; i < count; ++i) {
        const int32_t u = sut.GetUtilisation(i);
        if (u <= 0 || !(double(u) < threshold) || i == head) continue;
        int64_t bucket = int64_t(u) * kNumBuckets / segmentSize;
        if (bucket >= kNumBuckets) bucket = kNumBuckets - 1; // only with a percentage above 100
        m_buckets[bucket].push_back(i);
    }
    m_candidates.clear();
    for (const auto& b : m_buckets) m_candidates.insert(m_candidates.end(), b.begin(), b.end());
    m_hasCandidates = !m_candidates.empty();
}

// ---------------------------------------------------------------------------------
// Cleaning one segment

CleanerLogRecordVisitor::CleanerLogRecordVisitor(LssInternal* store, int32_t segmentId, const uint8_t* segmentBuffer)
    : m_store(store), m_segmentId(segmentId), m_segmentBuffer(segmentBuffer)
{
}

void CleanerLogRecordVisitor::VisitPacket(const PacketHeader& packet)
{
    if (packet.m_segmentId != m_segmentId || !m_store->IsLivePacket(packet)) return; // obsolete
    const int32_t z = packet.Size();
    SegmentWriter& w = m_store->GetSegmentWriter();
    const int32_t segmentSize = w.GetSegmentSize();
    if (w.Remaining() < z) {
        const double fill = double(w.GetWriteOffset()) * 100.0 / double(segmentSize);
        if (fill < m_store->GetSettings().m_cleanerUtilisationPercent) {
            m_leftBehind += z; // the head still has room for smaller packets
            return;
        }
        w.NewSegment();
    }
    // The copy goes behind the records of the open unit, never into its header, and
    // must fit whole before anything is written.
    const int32_t dest = w.GetWriteOffset();
    if (dest < w.GetUnitOffset() + kFlushUnitHeaderSize || w.Remaining() < z)
        throw CorruptLSSException(xstring("Cleaner : packet does not fit into the head segment"));
    const int32_t head = w.GetSegmentId();
    w.Append(m_segmentBuffer + packet.m_offset, z);
    w.GetBuffer()[dest] |= PF_MOVED;
    m_store->GetRPM().SetPosition(packet.m_seid, head, dest);
    SUT& sut = m_store->GetSUT();
    sut.AddUtilisation(head, z);
    sut.AddUtilisation(m_segmentId, -z);
    m_moved += z;
}

void LazyCleaner::CleanSegment(int32_t segmentId)
{
    SUT& sut = m_store->GetSUT();
    SegmentWriter& w = m_store->GetSegmentWriter();
    // The head is never cleaned into itself; an id outside the table is no segment.
    if (segmentId <= 0 || segmentId >= sut.GetNumSegments() || segmentId == w.GetSegmentId()) return;
    SegmentCache& cache = m_store->GetCache();
    PinnedSegment pin(cache, segmentId);
    Segment* segment = pin.Get();

    const uint8_t* buffer = segment->GetBuffer();
    const int32_t segmentSize = segment->GetSize();
    CleanerLogRecordVisitor visitor(m_store, segmentId, buffer);
    ForEachLogUnit(buffer, segmentSize, m_store->GetStorage()->GetSectorSize(),
                   [&](int64_t offset, const FlushUnitHeader& h) {
                       const int32_t start = int32_t(offset) + kFlushUnitHeaderSize;
                       WalkRecords(buffer, segmentId, start, start + h.m_size, true, visitor);
                   });
    const int32_t u = sut.GetUtilisation(segmentId);
    if (int64_t(u) != visitor.GetBytesLeftBehind()) {
        TraceStream t;
        t << "CLN: *********** ERROR:  Utilisation after cleaning =  " << u << " != "
          << int64_t(visitor.GetBytesLeftBehind()) << "\n";
    }
    m_numSegmentsCleaned.fetch_add(1, std::memory_order_relaxed);
    m_bytesMoved.fetch_add(visitor.GetBytesMoved(), std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------
// The thread

bool LazyCleaner::RunPass()
{
    SegmentWriter& w = m_store->GetSegmentWriter();
    SegmentWriterLock lock(w, false); // an ordinary appender: segments taken count towards the next check point
    bool goOn = true;
    try {
        if (w.IsStarted()) {
            ScopedTimer timer;
            while (!m_candidates.empty()) {
                if (timer.ElapsedSeconds() >= kPassSeconds) break;
                // Moving packets lengthens the log; at its bound the check point goes first.
                if (m_store->IsLogAtBound()) break;
                if (m_stop) {
                    goOn = false;
                    break;
                }
                const int32_t s = m_candidates.front();
                m_candidates.pop_front();
                m_hasCandidates = !m_candidates.empty();
                CleanSegment(s);
            }
        }
    } catch (...) {
        m_store->RecordBackgroundFailure(std::current_exception());
        goOn = false;
    }
    m_numPasses.fetch_add(1, std::memory_order_release); // counted under the lock
    lock.Unlock();
    return goOn;
}

void LazyCleaner::ThreadMain()
{
    SetThreadName("Lazy Cleaner");
    TraceIndenter indent(20);
    try {
        for (;;) {
            const bool signalled = m_event.Wait(kWaitMilliSec);
            if (m_stop) return;
            if (signalled) continue;
            if (!m_hasCandidates) {
                m_store->GetRPM().TrimNodeCache();
                continue;
            }
            if (m_stop || m_store->HasBackgroundFailure()) return;
            if (!RunPass()) return;
            m_store->GetRPM().TrimNodeCache();
        }
    } catch (...) {
        m_store->RecordBackgroundFailure(std::current_exception());
    }
}

} // namespace vorn
