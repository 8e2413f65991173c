#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"

namespace vorn {

void LazyCheckPointer::ThreadMain()
{
    SetThreadName("Lazy CheckPointer");
    TraceIndenter indent(40);
    for (;;) {
        m_event.Wait(15000);
        if (m_stop) break;
        if (!m_requested) continue;
        try {
            m_store->CheckPointWithNewId();
            m_requested = false;
        } catch (...) {
            m_store->RecordBackgroundFailure(std::current_exception());
            break;
        }
    }
}

void LSS::RequestCheckPoint() { m_checkPointer.Request(); }

void LSS::CheckPointWithNewId()
{
    CheckBackgroundFailure();
    CheckPoint(NewCheckPointId());
}

bool LSS::CheckPoint(const Guid& newCpid)
{
    CriticalSectionLock cpLock(m_checkPointLock);
    TraceIndenter indent(2);
    m_segmentWriter.Lock(true);
    bool locked = true;
    auto unlock = [&] {
        if (locked) {
            locked = false;
            m_segmentWriter.Unlock();
        }
    };
    try {
        m_segmentWriter.CheckNoElementOpen("CheckPoint()");
        if (m_positionOfLastCheckPoint.m_segmentId != 0 && !m_rpm.IsRootDirty()) {
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
            ++m_numCheckPoints;
            m_cpid = newCpid;
        }
        m_positionOfLastCheckPoint = end;
        m_segmentWriter.RestampForCheckPoint(m_cpid);
        m_sut.ChangeOverIfNeeded();
        {
            TraceIndenter i2(2);
            BufferToOutputStreamAdapter out(m_rootBlock.PreparedPayload(), RootBlock::kPayloadSize);
            Archive ar(&out);
            WriteRootDivision(ar, image);
            ar.Flush();
        }
        std::deque<int32_t> freed;
        m_sut.TakeDeltaFSS(freed);
        m_cleaner.RecomputeCandidates();
        const int32_t highest = m_sut.GetHighestUsedSegment();
        m_storage->SetSize(uint64_t(kLssRootBlockSize) + uint64_t(highest) * uint64_t(m_sut.GetSegmentSize()));
        if (m_validateSUTDuringCheckPoint) ValidateSut();
        unlock();
        m_segmentWriter.GetLazyWriter().Flush(true);
        m_rootBlock.CommitDivision();
        m_sut.MergeIntoFSS(freed);
        return true;
    } catch (...) {
        unlock();
        throw;
    }
}

} // namespace vorn

namespace vorn {

void LSS::ValidateSut() {}

} // namespace vorn
