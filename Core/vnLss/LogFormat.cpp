#include "vnLss/LogFormat.h"
#include "vnLss/SUT.h"
#include "vnLss/SegmentCache.h"
#include "vnUtils/Crc32.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/QuietClose.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

void ThrowCorruptLss(const char* message) { throw CorruptLSSException(xstring(message)); }

void WriteHexLower(TextWriter& w, uint32_t v)
{
    static const char kDigits[] = "0123456789abcdef";
    char buf[8];
    for (int i = 7; i >= 0; --i, v >>= 4) buf[i] = kDigits[v & 15];
    w.Write(buf, 8);
}

void EncodeFlushUnitHeader(uint8_t* p, const FlushUnitHeader& h)
{
    StoreU32(p + kUnitCrcOffset, h.m_crc);
    std::memcpy(p + kUnitCpidOffset, &h.m_cpid, 16);
    StoreU32(p + kUnitFsnOffset, h.m_fsn);
    StoreU32(p + kUnitSizeOffset, uint32_t(h.m_size));
    StoreU32(p + kUnitNextSegIdOffset, uint32_t(h.m_nextSegId));
}

FlushUnitHeader DecodeFlushUnitHeader(const uint8_t* p)
{
    FlushUnitHeader h;
    h.m_crc = LoadU32(p + kUnitCrcOffset);
    std::memcpy(&h.m_cpid, p + kUnitCpidOffset, 16);
    h.m_fsn = LoadU32(p + kUnitFsnOffset);
    h.m_size = int32_t(LoadU32(p + kUnitSizeOffset));
    h.m_nextSegId = int32_t(LoadU32(p + kUnitNextSegIdOffset));
    return h;
}

uint32_t ComputeFlushUnitCrc(const uint8_t* unit, int32_t size)
{
    return Crc32Update(0xFFFFFFFFu, unit + kUnitCpidOffset, size_t(kFlushUnitHeaderSize - kUnitCpidOffset) + size_t(size)) ^
           0xFFFFFFFFu;
}

bool SealedUnitIsValid(const uint8_t* segment, int32_t segmentSize, int64_t offset)
{
    if (offset < 0 || offset + kFlushUnitHeaderSize > int64_t(segmentSize)) return false;
    const uint8_t* unit = segment + offset;
    const int32_t size = int32_t(LoadU32(unit + kUnitSizeOffset));
    if (size < 1 || offset + kFlushUnitHeaderSize + int64_t(size) > int64_t(segmentSize)) return false;
    return LoadU32(unit) == ComputeFlushUnitCrc(unit, size);
}

int64_t NextUnitOffset(int64_t offset, int32_t size, int32_t sectorSize)
{
    const int64_t end = offset + kFlushUnitHeaderSize + int64_t(size);
    return (end + sectorSize - 1) / sectorSize * sectorSize;
}

// ---------------------------------------------------------------------------------
// PacketHeader

void PacketHeader::DecodeFields(const uint8_t* buffer, int32_t segId, int32_t offset, int64_t end)
{
    if (offset < 0 || int64_t(offset) + kPacketHeaderBytes > end) ThrowCorruptLss("Packet extends past end of segment");
    const uint8_t* p = buffer + offset;
    if ((p[kPacketFlagsOffset] & kRecordTypeMask) != LR_PACKET) ThrowCorruptLss("Bad type in packet header");
    const uint8_t flags = p[kPacketFlagsOffset];
    const int32_t length = int32_t(LoadU32(p + kPacketLengthOffset));
    const int64_t total = int64_t(kPacketHeaderBytes) + int64_t(length) + ((flags & PF_HAS_NEXT) ? kNextSeidBytes : 0);
    if (length < 0 || int64_t(offset) + total > end) ThrowCorruptLss("Packet extends past end of segment");
    m_flags = flags;
    m_seid = Seid(LoadU32(p + kPacketSeidLowOffset), LoadU32(p + kPacketSeidHighOffset));
    m_length = length;
    m_payload = p + kPacketHeaderBytes;
    m_next = (flags & PF_HAS_NEXT) ? Seid(LoadU32(m_payload + length), LoadU32(m_payload + length + 4)) : Seid();
    m_segmentId = segId;
    m_offset = offset;
}

void PacketHeader::Decode(SegmentCache& cache, SUT& sut, int32_t segId, int32_t offset, bool reserve, bool reserveHeld)
{
    // What the header held goes first: a reader following a chain holds one segment at
    // a time, so that readers and the cleaner never wait for each other's pins.
    Release();
    if (segId <= 0 || segId >= sut.GetNumSegments()) {
        if (reserveHeld) sut.Release(segId);
        ThrowCorruptLss("LSS is corrupt : Packet position outside the store");
    }
    bool reserved = reserveHeld;
    Segment* seg = nullptr;
    try {
        if (reserve && !reserved) {
            sut.Reserve(segId);
            reserved = true;
        }
        seg = cache.Pin(segId);
        DecodeFields(seg->GetBuffer(), segId, offset, seg->GetSize());
        // A packet is read only from a unit whose CRC held when the segment was read.
        if (!seg->HoldsVerified(offset, int64_t(offset) + Size()))
            ThrowCorruptLss("LSS is corrupt : Packet in a damaged flush unit");
    } catch (...) {
        m_payload = nullptr;
        if (seg) cache.Unpin(seg);
        if (reserved) sut.Release(segId);
        throw;
    }
    m_segment = seg;
    m_cache = &cache;
    m_sut = &sut;
    m_reservedSegment = reserved ? segId : 0;
}

void PacketHeader::DecodeInBuffer(const uint8_t* buffer, int32_t segId, int32_t offset, int64_t end)
{
    Release();
    DecodeFields(buffer, segId, offset, end);
}

void PacketHeader::Release() noexcept
{
    if (m_segment) {
        m_cache->Unpin(m_segment);
        m_segment = nullptr;
    }
    if (m_reservedSegment) {
        CloseQuietly([this] { m_sut->Release(m_reservedSegment); });
        m_reservedSegment = 0;
    }
    m_payload = nullptr;
}

// ---------------------------------------------------------------------------------
// Record walk

void WalkRecords(const uint8_t* buffer, int32_t segId, int32_t start, int32_t end, bool packetsOnly,
                 ILogRecordVisitor& visitor)
{
    int64_t cursor = start;
    while (cursor < end) {
        const uint8_t* p = buffer + cursor;
        switch (p[0] & kRecordTypeMask) {
        case LR_DELETE:
            if (cursor + kDeleteRecordSize > end) ThrowCorruptLss("LSS is corrupt : Bad packet header");
            if (!packetsOnly) visitor.VisitDelete(LoadU32(p + kDeleteSeidLowOffset), LoadU32(p + kDeleteSeidHighOffset));
            cursor += kDeleteRecordSize;
            break;
        case LR_TXN_MARK:
            if (!packetsOnly) visitor.VisitTransaction(segId, int32_t(cursor + 1), -1, HPTime());
            cursor += kTransactionMarkSize;
            break;
        case LR_TRANSACTION:
            if (cursor + kTransactionRecordSize > end) ThrowCorruptLss("LSS is corrupt : Bad packet header");
            if (!packetsOnly)
                visitor.VisitTransaction(segId, int32_t(cursor + kTransactionRecordSize),
                                         LoadI64(p + kTransactionNumberOffset), HPTime(LoadI64(p + kTransactionTimeOffset)));
            cursor += kTransactionRecordSize;
            break;
        default: {
            if (cursor + kPacketHeaderBytes > end) ThrowCorruptLss("LSS is corrupt : Bad packet header");
            const uint8_t flags = p[kPacketFlagsOffset];
            const Seid s(LoadU32(p + kPacketSeidLowOffset), LoadU32(p + kPacketSeidHighOffset));
            const int32_t length = int32_t(LoadU32(p + kPacketLengthOffset));
            bool bad = s.IsNull();
            if (!bad && !(flags & PF_RPM_NODE)) {
                const bool overflow = (s.m_high & kSeidOverflowBit) != 0;
                bad = !IsValidOverflowSeid(s) || ((flags & PF_HEAD) ? overflow : !overflow);
            }
            const int64_t total = int64_t(kPacketHeaderBytes) + int64_t(length) + ((flags & PF_HAS_NEXT) ? kNextSeidBytes : 0);
            if (bad || length < 0 || cursor + total > end) ThrowCorruptLss("LSS is corrupt : Bad packet header");
            PacketHeader h;
            h.DecodeInBuffer(buffer, segId, int32_t(cursor), end);
            visitor.VisitPacket(h);
            cursor += total;
            break;
        }
        }
    }
}

void PrintLogPosition(TextWriter& w, LogPosition p)
{
    w << "{ seg=" << p.m_segmentId << " offset=";
    WriteHexLower(w, uint32_t(p.m_offset));
    w << " }";
}

void PrintFlushUnit(TextWriter& w, const uint8_t* segment, int32_t segmentSize, int32_t segId, int64_t offset,
                    int32_t sectorSize)
{
    const bool inside = offset >= 0 && offset + kFlushUnitHeaderSize <= segmentSize;
    FlushUnitHeader h;
    if (inside) h = DecodeFlushUnitHeader(segment + offset);
    int64_t end = offset;
    if (inside && h.m_size >= 0) end = NextUnitOffset(offset, h.m_size, sectorSize);
    w << "<FU in seg " << segId << " [";
    WriteHexLower(w, uint32_t(offset));
    w << ",";
    WriteHexLower(w, uint32_t(end));
    w << ")";
    if (inside) {
        w << " crc= ";
        WriteHexLower(w, h.m_crc);
        w << " cpid= " << h.m_cpid << " fsn= " << h.m_fsn << " nextseg= " << h.m_nextSegId << " size= ";
        WriteHexLower(w, uint32_t(h.m_size));
    }
    w << ">";
}

} // namespace vorn
