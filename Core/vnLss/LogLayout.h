// The stored form of the log (little-endian throughout). Within a segment the log is
// cut into flush units: a 32-byte header, then records without gaps, padded to the
// sector size. The header's CRC covers header bytes 4..31 and the records.
//
// Flush-unit header:
//   0 crc   4 cpid (16-byte GUID)   20 fsn   24 size (bytes of records)   28 nextsegid
// Records (the low 2 bits of the first byte give the type):
//   packet       0 flags   1 SeidLow   5 SeidHigh   9 length   13 payload
//                [then, with PF_HAS_NEXT, the next seid: SeidLow, SeidHigh]
//   delete       0 type    1 SeidLow   5 SeidHigh
//   transaction  0 type    1 number (int64)   9 time (int64)
//   mark         0 type
#pragma once
#include "vnLss/Seid.h"
#include "vnUtils/Time.h"
#include <cstdint>
#include <cstring>

namespace vorn {

// Flush-unit header.
constexpr int32_t kFlushUnitHeaderSize = 32;
constexpr int32_t kUnitCrcOffset = 0;
constexpr int32_t kUnitCpidOffset = 4; // the CRC covers the unit from here on
constexpr int32_t kUnitFsnOffset = 20;
constexpr int32_t kUnitSizeOffset = 24; // patched when the unit is sealed
constexpr int32_t kUnitNextSegIdOffset = 28;
// The CRC and size of a unit that is still open.
constexpr uint32_t kOpenUnitCrc = 0xFFFFFFFFu;

// Record types.
enum LogRecordType : uint8_t { LR_PACKET = 0, LR_DELETE = 1, LR_TXN_MARK = 2, LR_TRANSACTION = 3 };
constexpr uint8_t kRecordTypeMask = 3;

// Packet.
constexpr int32_t kPacketFlagsOffset = 0;
constexpr int32_t kPacketSeidLowOffset = 1;
constexpr int32_t kPacketSeidHighOffset = 5;
constexpr int32_t kPacketLengthOffset = 9; // patched when the packet ends
constexpr int32_t kPacketHeaderBytes = 13;
constexpr int32_t kNextSeidBytes = 8;

enum PacketFlags : uint8_t {
    PF_HAS_NEXT = 0x80, // the next packet's seid follows the payload
    PF_HEAD = 0x40,     // carries the serial element's own seid
    PF_RPM_NODE = 0x20, // the payload is a node of the seid-to-position map
    PF_MOVED = 0x10,    // copied by the cleaner
};

// Delete record.
constexpr int32_t kDeleteSeidLowOffset = 1;
constexpr int32_t kDeleteSeidHighOffset = 5;
constexpr int32_t kDeleteRecordSize = 9;

// Transaction record and mark.
constexpr int32_t kTransactionNumberOffset = 1;
constexpr int32_t kTransactionTimeOffset = 9;
constexpr int32_t kTransactionRecordSize = 17;
constexpr int32_t kTransactionMarkSize = 1;

// Room that must remain in a segment before a record of each kind is started.
constexpr int32_t kMinRoomElementPacket = 37;
constexpr int32_t kMinRoomRpmPacket = 29;

inline uint32_t LoadU32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void StoreU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline int64_t LoadI64(const uint8_t* p)
{
    int64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void StoreI64(uint8_t* p, int64_t v) { std::memcpy(p, &v, 8); }

// Bytes a packet takes in the log (what the utilisation table counts for it).
constexpr int32_t PacketSize(uint8_t flags, int32_t length)
{
    return kPacketHeaderBytes + length + ((flags & PF_HAS_NEXT) ? kNextSeidBytes : 0);
}

// Writers of the fields (callers check the room first).
inline void EncodePacketHeader(uint8_t* p, uint8_t flags, Seid s, int32_t length)
{
    p[kPacketFlagsOffset] = flags;
    StoreU32(p + kPacketSeidLowOffset, s.m_low);
    StoreU32(p + kPacketSeidHighOffset, s.m_high);
    StoreU32(p + kPacketLengthOffset, uint32_t(length));
}
inline void SetPacketLength(uint8_t* packet, int32_t length) { StoreU32(packet + kPacketLengthOffset, uint32_t(length)); }
inline void EncodeNextSeid(uint8_t* p, Seid s)
{
    StoreU32(p, s.m_low);
    StoreU32(p + 4, s.m_high);
}
inline void EncodeDeleteRecord(uint8_t* p, Seid s)
{
    p[0] = LR_DELETE;
    StoreU32(p + kDeleteSeidLowOffset, s.m_low);
    StoreU32(p + kDeleteSeidHighOffset, s.m_high);
}
inline void EncodeTransactionRecord(uint8_t* p, int64_t number, HPTime t)
{
    p[0] = LR_TRANSACTION;
    StoreI64(p + kTransactionNumberOffset, number);
    StoreI64(p + kTransactionTimeOffset, t.m_ticks);
}

} // namespace vorn
