#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Trace.h"

namespace vorn {

void LSS::OpenExisting()
{
    bool graceful = false;
    int32_t segmentSize = 0;
    InputArchive ar = m_rootBlock.Read(graceful, segmentSize);
    if (!IsValidSegmentSize(segmentSize)) ThrowCorruptLss("LSS root block specifies an invalid segment size");
    m_segmentSize = segmentSize;
    m_sut.SetSegmentSize(segmentSize);
    m_cache.SetSegmentSize(segmentSize);
    ReadRootDivision(ar);

    TextWriter& log = m_recoveryLog;
    TextIndentGuard logIndent(log, 2);
    m_rootBlock.WriteDiagnostics(log);
    if (!graceful || m_forceIncrementMSSN) {
        ++m_mssn;
        log << "LSS was not shutdown gracefully.  Incremented m_mssn to " << m_mssn << "\n";
    }
    m_rootBlock.SetGracefulShutdown(false);

    const LogPosition cp = m_positionOfLastCheckPoint;
    log << "Last check point" << " pos= ";
    PrintLogPosition(log, cp);
    log << " cpid= " << m_cpid << "\n";
    log << "Scanning segment " << cp.m_segmentId << " containing the last check point\n";
    const int32_t sector = m_storage->GetSectorSize();
    if (cp.m_segmentId <= 0 || cp.m_segmentId >= m_sut.GetNumSegments() || cp.m_offset < 0 ||
        cp.m_offset > segmentSize || cp.m_offset % sector != 0)
        ThrowCorruptLss("LSS is corrupt : Check point position bad");

    int64_t offset = 0;
    int32_t nextSeg = 0;
    {
        Segment* s = m_cache.Pin(cp.m_segmentId);
        struct Unpinner {
            SegmentCache& c;
            Segment* s;
            ~Unpinner() { c.Unpin(s); }
        } unpin{m_cache, s};
        TextIndentGuard walkIndent(log, 2);
        const uint8_t* buf = s->GetBuffer();
        while (offset < cp.m_offset) {
            if (!SealedUnitIsValid(buf, segmentSize, offset)) {
                log << "ERROR: Invalid FU: ";
                PrintFlushUnit(log, buf, segmentSize, cp.m_segmentId, offset, sector);
                log << "\n";
                break;
            }
            const FlushUnitHeader h = DecodeFlushUnitHeader(buf + offset);
            if (h.m_cpid == m_cpid) {
                log << "ERROR: FU has same cpid: ";
                PrintFlushUnit(log, buf, segmentSize, cp.m_segmentId, offset, sector);
                log << "\n";
                break;
            }
            PrintFlushUnit(log, buf, segmentSize, cp.m_segmentId, offset, sector);
            log << "\n";
            if (nextSeg == 0) nextSeg = h.m_nextSegId;
            else if (h.m_nextSegId != nextSeg) ThrowCorruptLss("LSS is corrupt : NextSegId inconsistent within segment");
            offset = NextUnitOffset(offset, h.m_size, sector);
        }
    }
    if (offset != cp.m_offset) {
        log << "p.GetPos() = " << int64_t(offset) << "  m_positionOfLastCheckPoint.m_offset = " << cp.m_offset;
        log << "\n\nLSS is corrupt : Bad flush unit(s) in the segment containing the last valid check point";
        log.Flush();
        xstring text;
        m_recoveryLog.GetBuffer().CopyTo(text);
        throw CorruptLSSException(text);
    }

    LogHead head;
    head.m_cpid = m_cpid;
    head.m_fsn = 1;
    head.m_segmentId = cp.m_segmentId;
    head.m_offset = cp.m_offset;
    if (nextSeg != 0) {
        if (nextSeg == cp.m_segmentId) ThrowCorruptLss("LSS is corrupt : NextSegId inconsistent within segment");
        m_sut.Reserve(cp.m_segmentId);
        m_sut.TakeSegment(nextSeg);
        head.m_nextSegId = nextSeg;
    } else {
        m_sut.TakeSegment(cp.m_segmentId);
        head.m_nextSegId = m_sut.AllocateSegment();
    }
    // A store that was not shut down cleanly resumes at its last check point: what was
    // written after it is not replayed here.
    if (head.m_offset == segmentSize) {
        m_sut.Release(head.m_segmentId);
        head.m_segmentId = head.m_nextSegId;
        head.m_offset = 0;
        head.m_nextSegId = m_sut.AllocateSegment();
    }
    ClearBackgroundFailure();
    StartThreads(&head);
    CheckPointWithNewId();
}

} // namespace vorn
