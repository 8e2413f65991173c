// The stored form of the root block: the first kLssRootBlockSize bytes of a store
// (little-endian throughout).
//
// Header (bytes 0..2047), written once when the store is created:
//   0 magic "VORNHAL-LSS" and a zero byte   12 schema (2)   16 root header size (2048)
//   20 root block size (65536)   24 segment size   28 sector size   32.. zero
//   1024 clean-shutdown byte (its 1024-byte sector is written on its own)
// Two divisions, A at 2048 and B at 33792, each 31744 bytes; the one of an even master
// sequence number (msn) is A, of an odd one B:
//   0 crc (of bytes 4..31743)   4 msn1   8 payload   31740 msn2
// Division payload (schema 4): int32 13 and "LSS-BEGIN-DIV", int32 schema, the
// utilisation table's image, the seid-to-position map's root image, the last check
// point (segment id, offset), mssn, check-point id (16 bytes), transaction count
// (int64), check-point count, int32 11 and "LSS-END-DIV". Schema 1 lacks the two counts.
#pragma once
#include "vnLss/LssLayout.h"
#include <cstdint>

namespace vorn {

// Header.
constexpr char kLssMagic[12] = "VORNHAL-LSS"; // all 12 bytes are compared
constexpr int32_t kRootMagicOffset = 0;
constexpr int32_t kRootSchemaOffset = 12;
constexpr int32_t kRootHeaderSizeOffset = 16;
constexpr int32_t kRootBlockSizeOffset = 20;
constexpr int32_t kRootSegmentSizeOffset = 24;
constexpr int32_t kRootSectorSizeOffset = 28;
constexpr int32_t kRootHeaderSectorSize = 1024; // bytes 0..1023, written at creation
constexpr int32_t kGracefulShutdownOffset = 1024;
constexpr int32_t kGracefulShutdownSectorSize = 1024;
constexpr int32_t kRootSchema = 2;
constexpr int32_t kRootHeaderSize = 2048;

// Divisions.
constexpr int32_t kDivisionAOffset = 2048;
constexpr int32_t kDivisionBOffset = 33792;
constexpr int32_t kDivisionSize = 31744;
constexpr int32_t kDivisionCrcOffset = 0;
constexpr int32_t kDivisionMsn1Offset = 4; // the CRC covers the division from here on
constexpr int32_t kDivisionPayloadOffset = 8;
constexpr int32_t kDivisionMsn2Offset = kDivisionSize - 4;
constexpr int32_t kDivisionPayloadSize = kDivisionMsn2Offset - kDivisionPayloadOffset;

// Payload.
constexpr int32_t kDivisionSchema = 4;
constexpr char kDivisionBeginMarker[] = "LSS-BEGIN-DIV";
constexpr char kDivisionEndMarker[] = "LSS-END-DIV";

static_assert(kDivisionAOffset == kRootHeaderSize && kDivisionBOffset == kDivisionAOffset + kDivisionSize &&
              kDivisionBOffset + kDivisionSize == kLssRootBlockSize && kDivisionPayloadSize == 31732);

} // namespace vorn
