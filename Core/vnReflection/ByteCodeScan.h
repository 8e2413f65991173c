// Checked walks over reflection byte code and metadata, shared by the metadata reader,
// byte-code values and their validation. Each takes the position of an item or type and
// the end of the bytes (null: static data without a known end) and returns the position
// after it, or null when the bytes break the grammar (an invalid code, a position past
// the end, nesting deeper than kMaxByteCodeDepth).
#pragma once
#include "vnReflection/TypeByteCode.h"
#include <cstddef>
#include <cstdint>

namespace vorn::detail {

constexpr int kMaxByteCodeDepth = 64;

inline bool HasRoom(const uint8_t* p, const uint8_t* end, size_t n)
{
    return end == nullptr || size_t(end - p) >= n;
}

// The payload size of a fixed-size metadata item including its code; 0 for functors and
// lists; -1 for a code that is no metadata item.
inline int FixedMetaItemSize(uint8_t c)
{
    switch (c) {
    case MDT_FLAGS:
    case MDT_INT32: return 5;
    case MDT_BOOL: return 2;
    case MDT_FLOAT64: return 9;
    case MDT_STRING: return 3;
    case MDT_BEGIN_FUNCTOR:
    case MDT_END_FUNCTOR:
    case MDT_BEGIN_LIST:
    case MDT_END_LIST: return 1;
    default: return c >= MDT_FUNCTOR_0 ? 0 : -1;
    }
}

inline bool IsFunctorCode(uint8_t c) { return c >= MDT_FUNCTOR_0 && c < MDT_LIST_0; }
inline bool IsListCode(uint8_t c) { return c >= MDT_LIST_0; }

const uint8_t* SkipMetaDataItem(const uint8_t* p, const uint8_t* end, int depth = 0);
const uint8_t* SkipType(const uint8_t* p, const uint8_t* end, int depth = 0);

} // namespace vorn::detail
