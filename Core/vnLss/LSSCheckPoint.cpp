// The store's check points (requests, the check point itself) and the check of the
// utilisation table against the live packets.
#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"
#include <algorithm>

namespace vorn {

void LSS::RequestCheckPoint()
{
    if (m_checkPointer.IsRunning()) {
        std::lock_guard<std::mutex> lock(m_dueLock);
        m_checkPointDue = true;
    }
    m_checkPointer.Request();
}

bool LSS::IsLogAtBound() const
{
    const int64_t bound = m_logBound.load();
    return bound > 0 && m_segmentWriter.GetSegmentsAfterCheckPoint() >= bound;
}

void LSS::CheckPointTakenOrDropped()
{
    {
        std::lock_guard<std::mutex> lock(m_dueLock);
        m_checkPointDue = false;
    }
    m_dueChanged.notify_all();
}

void LSS::WakeAppenders()
{
    {
        std::lock_guard<std::mutex> lock(m_dueLock); // orders the change before a waiter's look
    }
    m_dueChanged.notify_all();
}

void LSS::WaitForCheckPointTurn()
{
    std::unique_lock<std::mutex> lock(m_dueLock);
    ++m_numWaiting;
    for (;;) {
        if (m_failures.Has() || !m_checkPointer.IsRunning()) break;
        const bool atBound = IsLogAtBound();
        if (!m_checkPointDue && !atBound) break;
        // At the bound a check point is asked for even if the last request is being
        // served: its log may itself have reached the bound.
        if (atBound) m_checkPointer.Request();
        m_dueChanged.wait(lock);
    }
    --m_numWaiting;
}

int32_t LSS::GetNumWaitingForCheckPoint()
{
    std::lock_guard<std::mutex> lock(m_dueLock);
    return m_numWaiting;
}

void LSS::CheckPointWithNewId()
{
    CheckBackgroundFailure();
    CheckPoint(NewCheckPointId());
}

bool LSS::CheckPoint(const Guid& newCpid)
{
    // A thread inside its transaction holds the segment writer's lock, which comes after
    // the check-point lock; and a check point would make its uncommitted changes
    // durable. It is refused before any lock is taken.
    if (m_txn.IsOwnedByCallingThread())
        ThrowProgrammingError("CheckPoint() : a transaction is open on this thread");
    CriticalSectionLock cpLock(m_checkPointLock);
    TraceIndenter indent(2);
    m_segmentWriter.Lock(true);
    CheckPointTakenOrDropped(); // transactions now queue behind this check point
    bool locked = true;
    auto unlock = [&] {
        if (locked) {
            locked = false;
            m_segmentWriter.Unlock();
        }
    };
    try {
        // A log at its bound is ended even when the map has nothing new: appenders wait
        // for that.
        if (m_positionOfLastCheckPoint.m_segmentId != 0 && !m_rpm.IsRootDirty() && !m_forceCheckPoint &&
            !IsLogAtBound()) {
            m_segmentWriter.RestampForCheckPoint(m_cpid);
            unlock();
            return false;
        }
        PagedBuffer image(4096);
        {
            TraceIndenter i2(2);
            PagedBufferToOutputStreamAdapter out(&image);
            Archive ar(&out);
            m_rpm.WriteDirtyNodes(m_segmentWriter, ar);
            ar.Flush();
        }
        const LogPosition end = m_segmentWriter.Flush();
        if (m_positionOfLastCheckPoint.m_segmentId != 0) {
            m_numCheckPoints = int32_t(uint32_t(m_numCheckPoints.load()) + 1u);
            m_cpid = newCpid;
        } else if (m_cpid == Guid{}) {
            m_cpid = newCpid; // a new store's first id is random too; its count stays 0
        }
        m_positionOfLastCheckPoint = end;
        m_segmentWriter.RestampForCheckPoint(m_cpid);
        m_segmentWriter.MarkCheckPointLog();
        m_sut.ChangeOverIfNeeded();
        {
            TraceIndenter i2(2);
            BufferToOutputStreamAdapter out(m_rootBlock.PreparedPayload(), kDivisionPayloadSize);
            Archive ar(&out);
            WriteRootDivision(ar, image);
            ar.Flush();
        }
        std::deque<int32_t> freed;
        m_sut.TakeDeltaFSS(freed);
        m_cleaner.RecomputeCandidates();
        // The segments the new division needs; those freed since the previous check
        // point are still needed by the committed one until the new one is on disk.
        int32_t keep = m_sut.GetHighestUsedSegment();
        for (int32_t id : freed) keep = std::max(keep, id);
        if (m_validateSUTDuringCheckPoint) ValidateSut();
        m_commitPending = true;
        unlock();
        if (m_commitHook) m_commitHook();
        m_segmentWriter.GetLazyWriter().Flush(true);
        m_rootBlock.CommitDivision();
        m_segmentWriter.CheckPointCommitted();
        WakeAppenders();
        m_forceCheckPoint = false;
        {
            // Appenders may have taken (and even emptied again) segments since the
            // writer was unlocked; every one of them is part of the log after the
            // committed position, so the file is cut only behind all of them.
            CriticalSectionLock w(m_segmentWriter.GetLock());
            keep = std::max(keep, m_sut.GetHighestUsedSegment());
            for (int32_t id : m_sut.GetDeltaFSS()) keep = std::max(keep, id);
            m_storage->SetSize(uint64_t(kLssRootBlockSize) + uint64_t(keep) * uint64_t(m_sut.GetSegmentSize()));
            m_sut.MergeIntoFSS(freed);
        }
        m_commitPending = false;
        return true;
    } catch (...) {
        // A log whose check point failed half-way is not one recovery would accept
        // after more appends: the store stops. The failure is recorded before appenders
        // are let in and before the commit stops being pending: a transaction whose units
        // follow the restamp, flushed while the commit was pending or after it ended,
        // finds the failure instead of taking its units for durable.
        RecordBackgroundFailure(std::current_exception());
        m_commitPending = false;
        unlock();
        throw;
    }
}

// ---------------------------------------------------------------------------------
// Utilisation check

namespace {

// Where a utilisation mismatch is reported: this file, at the line that report has
// always given (93), kept fixed so that it reads the same whatever line the check
// comes to sit on here.
constexpr const char* kSutCheckFile = "Core/vnLss/LSSCheckPoint.cpp";
constexpr int kSutCheckReportedLine = 93;

class ValidateSUTLogRecordVisitor : public ILogRecordVisitor {
public:
    explicit ValidateSUTLogRecordVisitor(LssInternal* store) : m_store(store) {}
    void VisitPacket(const PacketHeader& packet) override
    {
        if (m_store->IsLivePacket(packet)) m_sum += packet.Size();
    }
    void VisitTransaction(int32_t, int32_t, int64_t, HPTime) override {}
    void VisitDelete(SeidLow, SeidHigh) override {}
    int64_t GetSum() const { return m_sum; }

private:
    LssInternal* m_store;
    int64_t m_sum = 0;
};

} // namespace

void LSS::ValidateSut()
{
    const int32_t count = m_sut.GetNumSegments();
    const int32_t segmentSize = m_sut.GetSegmentSize();
    const int32_t sector = m_storage->GetSectorSize();
    for (int32_t i = 1; i < count; ++i) {
        const int32_t u = m_sut.GetUtilisation(i);
        if (u <= 0) continue; // nothing live to account for: the segment is not read
        PinnedSegment s(m_cache, i);
        const uint8_t* buf = s.Buffer();
        ValidateSUTLogRecordVisitor v(this);
        ForEachLogUnit(buf, segmentSize, sector, [&](int64_t offset, const FlushUnitHeader& h) {
            const int32_t start = int32_t(offset) + kFlushUnitHeaderSize;
            WalkRecords(buf, i, start, start + h.m_size, true, v);
        });
        if (v.GetSum() != u) {
            {
                TraceStream t;
                t << "**** ERROR : Seg " << i << " Sum of sizes of live segments = ";
                WriteHexLower(t, uint32_t(v.GetSum()));
                t << " != ";
                WriteHexLower(t, uint32_t(u));
                t << "\n";
            }
            if (ReportAssertionFailure(kSutCheckFile, "0", kSutCheckReportedLine)) AssertionTrap();
        }
    }
}

} // namespace vorn
