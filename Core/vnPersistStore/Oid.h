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

namespace detail {
constexpr uint32_t kOidBias = 0x01010100u; // kOidWordBias of the stored forms
// Throws DeserialisationException for a stored word that names no serial element.
[[noreturn]] void ThrowBadOidWord();
inline uint32_t OidWordFromStored(uint32_t v)
{
    const uint32_t w = v + kOidBias;
    // Beyond 32 bits once the bias is added back, or a zero byte.
    if (w < v || ((w - 0x01010101u) & ~w & 0x80808080u) != 0) [[unlikely]]
        ThrowBadOidWord();
    return w;
}
inline uint32_t OidStoredWord(uint32_t w) { return w == 0 ? 0 : w - kOidBias; }
} // namespace detail

// The stored form of one identifier.
inline void WriteOid(Archive& ar, OID oid)
{
    ar.WriteCompressedUInt32(detail::OidStoredWord(oid.m_low));
    if (oid.m_low == 0) return;
    if (IOidRemapHook* hook = ar.GetOidRemapHook()) [[unlikely]]
        hook->WriteOidHigh(ar, oid.m_high);
    else
        ar.WriteCompressedUInt32(detail::OidStoredWord(oid.m_high));
}

// Reads one identifier. A low word of 0 reads as the null identifier and nothing more
// is read. Throws DeserialisationException for a form that passes the end of the block
// or names no valid serial element (a word with a zero byte, or beyond 32 bits); a high
// word of 0 under a non-zero low word is accepted and read as 0.
inline InputArchive ReadOid(InputArchive in, OID& oid)
{
    uint32_t v;
    in = ReadCompressedUInt32FromBuffer(in, v);
    if (v == 0) {
        oid = OID();
        return in;
    }
    const OidLow low = detail::OidWordFromStored(v);
    OidHigh high;
    if (IOidReadRemapHook* hook = GetThreadOidReadRemapHook()) [[unlikely]] {
        in = hook->ReadOidHigh(in, high);
    } else {
        in = ReadCompressedUInt32FromBuffer(in, v);
        high = v == 0 ? 0 : detail::OidWordFromStored(v);
    }
    oid = OID(low, high);
    return in;
}

// "hhhhhhhh.llllllll", lower-case hexadecimal, high word first.
TextWriter& operator<<(TextWriter& w, OID oid);

} // namespace vorn
