#include "vnLss/SegmentWriter.h"
#include "vnLss/LssInternal.h"
#include "vnLss/LssSettings.h"
#include "vnLss/Ras.h"
#include "vnLss/SUT.h"
#include "vnLss/SegmentCache.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/QuietClose.h"
#include "vnUtils/Trace.h"
#include <cstring>

namespace vorn {

namespace {

// Raises the calling thread's trace indentation by n (lowered again by -n).
void RaiseIndent(int n) { SetTraceIndent(GetTraceIndent() + n); }

} // namespace

SegmentWriter::SegmentWriter(LssInternal* store) : m_store(store), m_lazyWriter(store) {}

SegmentWriter::~SegmentWriter()
{
    if (m_segment) m_store->GetCache().Unpin(m_segment, true);
}

void SegmentWriter::Start(const LogHead* head)
{
    CriticalSectionLock lock(m_lock);
    SegmentCache& cache = m_store->GetCache();
    SUT& sut = m_store->GetSUT();
    m_sectorSize = m_store->GetStorage()->GetSectorSize();
    m_segmentSize = sut.GetSegmentSize();
    if (head) {
        m_cpid = head->m_cpid;
        m_fsn = head->m_fsn;
        m_segmentId = head->m_segmentId;
        m_nextSegId = head->m_nextSegId;
        m_unitOffset = head->m_offset;
        m_segment = head->m_offset == 0 ? cache.PinForWrite(m_segmentId) : cache.Pin(m_segmentId, true);
        m_segment->TrustFrom(head->m_offset);
    } else {
        m_segmentId = sut.AllocateSegment();
        m_nextSegId = sut.AllocateSegment();
        m_cpid = Guid{};
        m_fsn = 1;
        m_unitOffset = 0;
        m_segment = cache.PinForWrite(m_segmentId);
    }
    m_buffer = m_segment->GetBuffer();
    BeginUnit(m_unitOffset);
    m_numSegments = 0;
    m_segmentsAfterCheckPoint.store(0, std::memory_order_release);
    m_segmentsBeforeMark = 0;
    try {
        m_lazyWriter.Start(m_segmentId, m_unitOffset);
    } catch (...) {
        cache.ReleasePin(m_segment, true);
        m_buffer = nullptr;
        throw;
    }
    m_started = true;
}

void SegmentWriter::Stop()
{
    m_lazyWriter.Stop();
    CriticalSectionLock lock(m_lock);
    if (!m_started) return;
    m_store->GetCache().ReleasePin(m_segment, true);
    SUT& sut = m_store->GetSUT();
    CloseQuietly([&] {
        if (m_segmentId) sut.Release(m_segmentId);
        if (m_nextSegId) sut.Release(m_nextSegId);
    });
    m_segmentId = m_nextSegId = 0;
    m_buffer = nullptr;
    m_unitOpen = false;
    m_elementOpen = false;
    m_numSegments = 0;
    m_isCheckPoint = false;
    m_started = false;
}

void SegmentWriter::Lock(bool isCheckPoint)
{
    m_lock.Enter();
    StoreLockMark::Enter();
    ++m_lockDepth;
    m_isCheckPoint = isCheckPoint;
    RaiseIndent(2);
}

void SegmentWriter::Unlock()
{
    RaiseIndent(-2);
    bool request = false;
    if (m_isCheckPoint) {
        m_numSegments = 0;
    } else if (m_numSegments >= m_store->GetSettings().m_numSegmentsPerCheckPoint) {
        m_numSegments = 0;
        request = true;
    }
    m_isCheckPoint = false;
    --m_lockDepth;
    StoreLockMark::Leave();
    m_lock.Leave();
    if (request) m_store->RequestCheckPoint();
}

void SegmentWriter::CheckNoElementOpen(const char* operation) const
{
    if (m_elementOpen) {
        xstring m(operation);
        m += " : a serial element is being written";
        throw ProgrammingErrorException(m);
    }
}

void SegmentWriter::BeginUnit(int32_t offset)
{
    FlushUnitHeader h;
    h.m_crc = kOpenUnitCrc;
    h.m_cpid = m_cpid;
    h.m_fsn = m_fsn;
    h.m_size = 0;
    h.m_nextSegId = m_nextSegId;
    EncodeFlushUnitHeader(m_buffer + offset, h);
    m_unitOffset = offset;
    m_writeOffset = offset + kFlushUnitHeaderSize;
    m_segment->SetFillPosition(offset);
    m_unitOpen = true;
}

bool SegmentWriter::SealUnit()
{
    if (!m_unitOpen || m_writeOffset <= m_unitOffset + kFlushUnitHeaderSize) return false;
    const int32_t size = m_writeOffset - m_unitOffset - kFlushUnitHeaderSize;
    uint8_t* unit = m_buffer + m_unitOffset;
    StoreU32(unit + kUnitSizeOffset, uint32_t(size));
    StoreU32(unit + kUnitCrcOffset, ComputeFlushUnitCrc(unit, size));
    m_writeOffset = int32_t(NextUnitOffset(m_unitOffset, size, m_sectorSize));
    m_segment->SetFillPosition(m_writeOffset);
    ++m_fsn;
    m_unitOffset = m_writeOffset;
    m_unitOpen = false;
    return true;
}

void SegmentWriter::Append(const void* bytes, int32_t n)
{
    std::memcpy(m_buffer + m_writeOffset, bytes, size_t(n));
    m_writeOffset += n;
}

void SegmentWriter::NewSegment()
{
    SegmentCache& cache = m_store->GetCache();
    SUT& sut = m_store->GetSUT();
    Segment* fresh = cache.PinForWrite(m_nextSegId);
    int32_t following;
    try {
        following = sut.AllocateSegment();
    } catch (...) {
        cache.Unpin(fresh, true);
        throw;
    }
    const int32_t oldId = m_segmentId;
    sut.Release(oldId);
    SealUnit();
    Segment* old = m_segment;
    m_segment = fresh;
    m_segmentId = m_nextSegId;
    m_nextSegId = following;
    m_buffer = fresh->GetBuffer();
    BeginUnit(0);
    m_lazyWriter.QueueFullSegment(old);
    if (!m_isCheckPoint) ++m_numSegments;
    m_segmentsAfterCheckPoint.fetch_add(1, std::memory_order_acq_rel);
}

LogPosition SegmentWriter::Flush()
{
    CriticalSectionLock lock(m_lock);
    CheckNoElementOpen("Flush()");
    const bool sealed = SealUnit();
    const LogPosition end{m_segmentId, m_unitOpen ? m_unitOffset : m_writeOffset};
    if (sealed) {
        if (m_writeOffset >= m_segmentSize) {
            NewSegment();
        } else {
            BeginUnit(m_writeOffset);
            m_lazyWriter.SetPartial(m_segment, m_unitOffset);
        }
    }
    return end;
}

void SegmentWriter::RestampForCheckPoint(const Guid& cpid)
{
    m_cpid = cpid;
    m_fsn = 1;
    if (m_unitOpen && UnitIsEmpty()) BeginUnit(m_unitOffset);
}

LogHead SegmentWriter::GetHead() const
{
    LogHead h;
    h.m_cpid = m_cpid;
    h.m_fsn = m_fsn;
    h.m_segmentId = m_segmentId;
    h.m_offset = m_unitOffset;
    h.m_nextSegId = m_nextSegId;
    return h;
}

// ---------------------------------------------------------------------------------
// Node packets

void SegmentWriter::BeginNodePacketHere(Seid seid)
{
    m_nodeOffset = m_writeOffset;
    EncodePacketHeader(m_buffer + m_writeOffset, PF_HEAD | PF_RPM_NODE, seid, 0);
    m_writeOffset += kPacketHeaderBytes;
}

IOutputStream& SegmentWriter::BeginNodePacket(Seid seid)
{
    CheckNoElementOpen("BeginNodePacket()");
    RaiseIndent(2);
    m_nodeIndentRaised = true;
    try {
        EnsureRoom(kMinRoomRpmPacket);
    } catch (...) {
        RaiseIndent(-2);
        m_nodeIndentRaised = false;
        throw;
    }
    m_nodeSeid = seid;
    BeginNodePacketHere(seid);
    return m_nodeStream;
}

void SegmentWriter::WriteNodeBytes(const void* buffer, ssize_t numBytes)
{
    if (numBytes <= 0) return;
    if (int64_t(m_writeOffset) + numBytes > int64_t(m_segmentSize)) {
        const int32_t written = m_writeOffset - m_nodeOffset - kPacketHeaderBytes;
        // Below the packet's start: a move failed and gave the packet up. Bytes still
        // handed over on the way out of that failure (an archive's destructor) go nowhere.
        if (written < 0) return;
        if (int64_t(kFlushUnitHeaderSize) + kPacketHeaderBytes + written + numBytes > int64_t(m_segmentSize))
            throw CorruptLSSException(xstring("Indivisble packet won't fit into a segment"));
        // The packet moves whole to a new segment; the sealed unit ends before it.
        std::unique_ptr<uint8_t[]> sofar(new uint8_t[size_t(written) + 1]);
        std::memcpy(sofar.get(), m_buffer + m_nodeOffset + kPacketHeaderBytes, size_t(written));
        m_writeOffset = m_nodeOffset;
        NewSegment();
        BeginNodePacketHere(m_nodeSeid);
        Append(sofar.get(), written);
    }
    Append(buffer, int32_t(numBytes));
}

void SegmentWriter::EndNodePacket(RpmPosition& pos, int32_t& packetSize)
{
    const int32_t total = m_writeOffset - m_nodeOffset;
    SetPacketLength(m_buffer + m_nodeOffset, total - kPacketHeaderBytes);
    pos = RpmPosition{m_segmentId, m_nodeOffset};
    packetSize = total;
    if (m_nodeIndentRaised) {
        RaiseIndent(-2);
        m_nodeIndentRaised = false;
    }
}

} // namespace vorn
