// vorn::OID names a persistent object: the seid of the serial element that holds it,
// low word first; 0 is null. Identifiers are ordered by high word, then low word, both
// unsigned.
//
// Stored form: the low word as a compressed integer (0, or the word less
// kOidWordBias), then, only after a non-zero low word, the high word the same way. An
// archive's IOidRemapHook, when installed, writes the high word instead; the thread's
// IOidReadRemapHook, when installed, reads it instead.
#pragma once
#include "vnLss/Seid.h"
#include "vnUtils/Archive.h"
#include <compare>
#include <cstdint>

namespace vorn {

class TextWriter;

using OidLow = SeidLow;
using OidHigh = SeidHigh;

struct OID {
    OidLow m_low = 0;
    OidHigh m_high = 0;

    constexpr OID() = default;
    constexpr OID(OidLow low, OidHigh high) : m_low(low), m_high(high) {}
    constexpr explicit OID(Seid s) : m_low(s.m_low), m_high(s.m_high) {}

    constexpr bool IsNull() const { return m_low == 0 && m_high == 0; }
    constexpr Seid AsSeid() const { return Seid(m_low, m_high); }
    constexpr uint64_t AsUInt64() const { return uint64_t(m_high) << 32 | m_low; }

    friend constexpr bool operator==(const OID&, const OID&) = default;
    friend constexpr std::strong_ordering operator<=>(const OID& a, const OID& b)
    {
        return a.AsUInt64() <=> b.AsUInt64();
    }
};
static_assert(sizeof(OID) == 8, "an object identifier is two 32-bit words");

// The stored form of one identifier.
void WriteOid(Archive& ar, OID oid);

// Reads one identifier. A low word of 0 reads as the null identifier and nothing more
// is read. Throws DeserialisationException for a form that passes the end of the block
// or names no valid serial element (a word with a zero byte, or a low word of 0 read
// back from a non-zero stored value cannot occur in a valid identifier); a high word of
// 0 under a non-zero low word is accepted and read as 0.
InputArchive ReadOid(InputArchive in, OID& oid);

// "hhhhhhhh.llllllll", lower-case hexadecimal, high word first.
TextWriter& operator<<(TextWriter& w, OID oid);

} // namespace vorn
