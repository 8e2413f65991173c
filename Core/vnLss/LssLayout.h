// Geometry of a store file: the root block, then segments of one size numbered from 1.
#pragma once
#include <cstdint>

namespace vorn {

constexpr int32_t kLssRootBlockSize = 0x10000;
constexpr int32_t kLssSectorSize = 512;
// Bounds of a segment size that a store accepts (it is also a multiple of the sector
// size): large enough for the biggest map node packet and a flush-unit header.
constexpr int32_t kLssMinSegmentSize = 4096;
constexpr int32_t kLssMaxSegmentSize = 0x10000000;
// The highest segment id a store can use (its offset stays far inside 63 bits, and the
// utilisation table's count fits an int32).
constexpr int32_t kLssMaxSegmentId = 0x7FFFFFF0;

inline bool IsValidSegmentSize(int64_t size)
{
    return size >= kLssMinSegmentSize && size <= kLssMaxSegmentSize && size % kLssSectorSize == 0;
}

// File offset of segment id (>= 1).
inline uint64_t SegmentOffset(int32_t id, int32_t segmentSize)
{
    return uint64_t(kLssRootBlockSize) + uint64_t(uint32_t(id) - 1u) * uint64_t(uint32_t(segmentSize));
}

// Segments that a storage of size bytes holds, the last one possibly in part.
inline int64_t SegmentsInStorage(uint64_t size, int32_t segmentSize)
{
    if (size <= uint64_t(kLssRootBlockSize)) return 0;
    return int64_t((size - kLssRootBlockSize + uint64_t(segmentSize) - 1) / uint64_t(segmentSize));
}

} // namespace vorn
