// The one walk over reflection byte code and metadata, shared by the byte-code cursor,
// the metadata reader, byte-code values and their validation. A walk takes the position
// of an item or type and the end of the bytes (null: static data without a known end),
// hands every piece it meets to a visitor and returns the position after the item or
// type, or null when the bytes break the grammar (an invalid code, a position past the
// end, nesting deeper than kMaxByteCodeDepth) or the visitor refuses a piece.
#pragma once
#include "vnReflection/ByteCode.h"
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

// A visitor gets the pieces of a walk in order:
//   bool Bytes(const uint8_t* p, int n)  n bytes without a name in them;
//   bool Name(const uint8_t* p)          a code and its 16-bit name index (3 bytes):
//                                        a named type, a functor item or MDT_STRING;
// either returns false to stop the walk. kLenient walks static data that registration
// already trusts: no end or depth is checked, and a code outside the grammar is handed
// over as a one-byte piece and walked past (inside a type it ends the type).
struct NoVisit {
    static constexpr bool kLenient = false;
    bool Bytes(const uint8_t*, int) { return true; }
    bool Name(const uint8_t*) { return true; }
};

template <class V>
const uint8_t* WalkMetaDataItem(const uint8_t* p, const uint8_t* end, V& v, int depth = 0)
{
    constexpr bool lenient = V::kLenient;
    if (!lenient && (depth > kMaxByteCodeDepth || !HasRoom(p, end, 1))) return nullptr;
    const uint8_t c = *p;
    const int fixed = FixedMetaItemSize(c);
    if (fixed < 0) {
        if (!lenient) return nullptr;
        return v.Bytes(p, 1) ? p + 1 : nullptr;
    }
    if (fixed > 0) {
        if (!lenient && !HasRoom(p, end, size_t(fixed))) return nullptr;
        const bool ok = c == MDT_STRING ? v.Name(p) : v.Bytes(p, fixed);
        return ok ? p + fixed : nullptr;
    }
    int n;
    if (IsFunctorCode(c)) {
        if ((!lenient && !HasRoom(p, end, 3)) || !v.Name(p)) return nullptr;
        n = c - MDT_FUNCTOR_0;
        p += 3;
    } else {
        if (!v.Bytes(p, 1)) return nullptr;
        n = c - MDT_LIST_0;
        p += 1;
    }
    for (int i = 0; i < n && p; ++i) p = WalkMetaDataItem(p, end, v, depth + 1);
    return p;
}

template <class V>
const uint8_t* WalkType(const uint8_t* p, const uint8_t* end, V& v, int depth = 0)
{
    constexpr bool lenient = V::kLenient;
    if (!lenient && depth > kMaxByteCodeDepth) return nullptr;
    for (;;) {
        if (!lenient && !HasRoom(p, end, 1)) return nullptr;
        const uint8_t c = *p;
        if (IsMetaDataCode(c)) {
            p = WalkMetaDataItem(p, end, v, depth + 1);
            if (!p) return nullptr;
        } else if (IsPrefixTypeCode(c)) {
            if (!v.Bytes(p, 1)) return nullptr;
            ++p;
        } else if (IsNamedTypeCode(c)) {
            if (!lenient && !HasRoom(p, end, 3)) return nullptr;
            return v.Name(p) ? p + 3 : nullptr;
        } else if (c == FT_ARRAY) {
            if (!lenient && !HasRoom(p, end, 5)) return nullptr;
            if (!v.Bytes(p, 5)) return nullptr;
            p += 5;
        } else if (c == FT_MAP) {
            if (!v.Bytes(p, 1)) return nullptr;
            p = WalkType(p + 1, end, v, depth + 1);
            if (!p) return nullptr;
        } else if (IsBasicTypeCode(c) || lenient) {
            return v.Bytes(p, 1) ? p + 1 : nullptr;
        } else {
            return nullptr;
        }
    }
}

inline const uint8_t* SkipMetaDataItem(const uint8_t* p, const uint8_t* end)
{
    NoVisit v;
    return WalkMetaDataItem(p, end, v);
}

inline const uint8_t* SkipType(const uint8_t* p, const uint8_t* end)
{
    NoVisit v;
    return WalkType(p, end, v);
}

} // namespace vorn::detail
