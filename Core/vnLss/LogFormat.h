// Reading and writing the log whose stored form LogLayout.h gives: flush-unit headers,
// the walk over the records of a unit and the decoder of a packet header inside a
// pinned segment. Every length and position taken from the log is checked in 64-bit
// arithmetic before use; damage throws vorn::CorruptLSSException.
#pragma once
#include "vnLss/LogLayout.h"
#include "vnLss/Seid.h"
#include "vnUtils/Guid.h"
#include "vnUtils/Time.h"
#include <cstdint>
#include <cstring>

namespace vorn {

class Segment;
class SegmentCache;
class SUT;
class TextWriter;

struct FlushUnitHeader {
    uint32_t m_crc = kOpenUnitCrc;
    Guid m_cpid{};
    uint32_t m_fsn = 0;
    int32_t m_size = 0;
    int32_t m_nextSegId = 0;
};

void EncodeFlushUnitHeader(uint8_t* p, const FlushUnitHeader& h);
FlushUnitHeader DecodeFlushUnitHeader(const uint8_t* p);
// The CRC of a unit at p with size bytes of records: header bytes 4..31 and the records.
uint32_t ComputeFlushUnitCrc(const uint8_t* unit, int32_t size);
// size >= 1, the unit lies inside the segment and its CRC matches.
bool SealedUnitIsValid(const uint8_t* segment, int32_t segmentSize, int64_t offset);
// Where the unit after a unit of size bytes at offset begins (rounded to the sector).
int64_t NextUnitOffset(int64_t offset, int32_t size, int32_t sectorSize);

// Walks the flush units of one segment's log from offset 0. A unit is taken while it
// is valid, names the same next segment as the first unit, and continues the unit
// before it: the same check-point id with the next sequence number, or sequence number
// 1 where a check point began a new id. Units that an earlier use of the segment left
// behind the log's end are thus not taken. fn(offset, header) is called for each unit
// taken; returns the offset where the walk stopped.
template <class Fn>
int64_t ForEachLogUnit(const uint8_t* segment, int32_t segmentSize, int32_t sectorSize, Fn&& fn)
{
    int64_t offset = 0;
    bool first = true;
    FlushUnitHeader prev;
    while (offset < segmentSize && SealedUnitIsValid(segment, segmentSize, offset)) {
        const FlushUnitHeader h = DecodeFlushUnitHeader(segment + offset);
        if (!first) {
            if (h.m_nextSegId != prev.m_nextSegId) break;
            const bool continues = h.m_cpid == prev.m_cpid ? h.m_fsn == prev.m_fsn + 1 : h.m_fsn == 1;
            if (!continues) break;
        }
        fn(offset, h);
        first = false;
        prev = h;
        offset = NextUnitOffset(offset, h.m_size, sectorSize);
    }
    return offset;
}

// A decoded packet. When it was decoded from the cache it pins its segment (and may
// hold a reservation on it in the utilisation table) until Release or destruction.
class PacketHeader {
public:
    PacketHeader() = default;
    ~PacketHeader() { Release(); }
    PacketHeader(const PacketHeader&) = delete;
    PacketHeader& operator=(const PacketHeader&) = delete;

    // Drops the pin and reservation held before, then pins segment segId and decodes
    // the packet at offset. With reserve, a reservation on segId is taken (reserveHeld:
    // the caller already holds it for this header). Copy what is needed of the previous
    // packet (its next seid) before calling.
    void Decode(SegmentCache& cache, SUT& sut, int32_t segId, int32_t offset, bool reserve, bool reserveHeld = false);
    // Decodes a packet inside a buffer the caller keeps (no pin); end bounds the packet.
    void DecodeInBuffer(const uint8_t* buffer, int32_t segId, int32_t offset, int64_t end);
    void Release() noexcept;

    // Bytes the packet takes in the log (what the utilisation table counts).
    int32_t Size() const { return PacketSize(m_flags, m_length); }
    bool HasNext() const { return (m_flags & PF_HAS_NEXT) != 0; }
    bool IsHead() const { return (m_flags & PF_HEAD) != 0; }
    bool IsRpmNode() const { return (m_flags & PF_RPM_NODE) != 0; }

    uint8_t m_flags = 0;
    Seid m_seid;
    int32_t m_length = 0;
    const uint8_t* m_payload = nullptr;
    Seid m_next;
    int32_t m_segmentId = 0;
    int32_t m_offset = 0;
    Segment* m_segment = nullptr;

private:
    void DecodeFields(const uint8_t* buffer, int32_t segId, int32_t offset, int64_t end);
    SegmentCache* m_cache = nullptr;
    SUT* m_sut = nullptr;
    int32_t m_reservedSegment = 0;
};

class ILogRecordVisitor {
public:
    virtual ~ILogRecordVisitor() = default;
    virtual void VisitPacket(const PacketHeader& packet) = 0;
    // A transaction mark is visited with number -1 and time 0.
    virtual void VisitTransaction(int32_t segId, int32_t offsetAfter, int64_t number, HPTime time) = 0;
    virtual void VisitDelete(SeidLow low, SeidHigh high) = 0;
};

// Visits every record in [start, end) of a segment buffer. Throws
// vorn::CorruptLSSException "LSS is corrupt : Bad packet header" for a damaged packet
// and for a record that runs past end.
void WalkRecords(const uint8_t* buffer, int32_t segId, int32_t start, int32_t end, bool packetsOnly,
                 ILogRecordVisitor& visitor);

// "<FU in seg id [start,end) crc= .. cpid= .. fsn= .. nextseg= .. size= ..>"
void PrintFlushUnit(TextWriter& w, const uint8_t* segment, int32_t segmentSize, int32_t segId, int64_t offset,
                    int32_t sectorSize);

struct LogPosition {
    int32_t m_segmentId = 0;
    int32_t m_offset = 0;
    friend bool operator==(const LogPosition&, const LogPosition&) = default;
};
// "{ seg=id offset=hhhhhhhh }"
void PrintLogPosition(TextWriter& w, LogPosition p);

// Eight lower-case hexadecimal digits.
void WriteHexLower(TextWriter& w, uint32_t v);

[[noreturn]] void ThrowCorruptLss(const char* message);

} // namespace vorn
