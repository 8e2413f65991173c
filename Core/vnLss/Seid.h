// Seids: the 64-bit names of serial elements, low word first. Byte 0 is the low byte
// of the SeidLow, byte 7 the high byte of the SeidHigh. A seid space is the set of
// seids sharing one SeidHigh; a SeidHigh with the top bit set names an overflow space.
// The seid counters hand out words whose four bytes are all non-zero.
#pragma once
#include <compare>
#include <cstdint>

namespace vorn {

class TextWriter;
class xstring;

using SeidLow = uint32_t;
using SeidHigh = uint32_t;

constexpr uint32_t kSeidOverflowBit = 0x80000000u;
// The first value of every seid counter.
constexpr uint32_t kSeidCounterStart = 0x01010101u;
// The values a counter rests at once its space is used up; they are never handed out.
// A SeidHigh counter moved past the last SeidHigh (0x7FFFFFFF) holds that value bumped.
constexpr SeidHigh kSeidHighPastLast = 0x80010101u;
constexpr SeidLow kSeidLowExhausted = 0xFFFFFFFFu;

struct Seid {
    SeidLow m_low = 0;
    SeidHigh m_high = 0;

    constexpr Seid() = default;
    constexpr Seid(SeidLow low, SeidHigh high) : m_low(low), m_high(high) {}

    // Byte i (0 .. 7).
    constexpr uint8_t Byte(int i) const
    {
        return uint8_t(i < 4 ? m_low >> (8 * i) : m_high >> (8 * (i - 4)));
    }
    // The seid with byte i replaced by b.
    constexpr Seid WithByte(int i, uint8_t b) const
    {
        Seid s = *this;
        if (i < 4) s.m_low = (m_low & ~(0xFFu << (8 * i))) | (uint32_t(b) << (8 * i));
        else s.m_high = (m_high & ~(0xFFu << (8 * (i - 4)))) | (uint32_t(b) << (8 * (i - 4)));
        return s;
    }
    constexpr uint64_t AsUInt64() const { return uint64_t(m_high) << 32 | m_low; }
    constexpr bool IsNull() const { return m_low == 0 && m_high == 0; }

    friend constexpr bool operator==(const Seid&, const Seid&) = default;
    friend constexpr std::strong_ordering operator<=>(const Seid& a, const Seid& b)
    {
        return a.AsUInt64() <=> b.AsUInt64();
    }
};
static_assert(sizeof(Seid) == 8, "a seid is 8 bytes, low word first");

constexpr bool AllBytesNonZero(uint32_t v)
{
    return (v & 0xFFu) && (v & 0xFF00u) && (v & 0xFF0000u) && (v & 0xFF000000u);
}

// Valid for a serial element: all eight bytes non-zero, top bit of the SeidHigh clear.
constexpr bool IsValidSeid(Seid s)
{
    return AllBytesNonZero(s.m_low) && AllBytesNonZero(s.m_high) && !(s.m_high & kSeidOverflowBit);
}
// The weaker test of continuation-packet seids: all eight bytes non-zero.
constexpr bool IsValidOverflowSeid(Seid s) { return AllBytesNonZero(s.m_low) && AllBytesNonZero(s.m_high); }

// A prefix: bytes 7 .. k+1 non-zero and bytes k .. 0 zero, for some k with 0 <= k <= 7
// (the null seid, k = 7, names the map's root).
constexpr bool IsSeidPrefix(Seid s)
{
    int i = 7;
    while (i >= 0 && s.Byte(i) != 0) --i;
    if (i < 0) return false; // no zero byte: a full seid
    for (; i >= 0; --i)
        if (s.Byte(i) != 0) return false;
    return true;
}

// The counter rule: add 1, then set to 1 every byte that became 0 (lowest first).
constexpr uint32_t BumpSeidWord(uint32_t v)
{
    v += 1;
    for (int i = 0; i < 4; ++i)
        if (((v >> (8 * i)) & 0xFFu) == 0) v |= 1u << (8 * i);
    return v;
}

// Hands out the counter's value and advances it; false (counter unchanged) when the
// space is used up. A SeidHigh counter is used up when the next value would have the
// top bit set, a SeidLow counter when it would wrap past 0xFFFFFFFF.
constexpr bool TakeNextSeidHigh(uint32_t& counter, SeidHigh& out)
{
    const uint32_t next = BumpSeidWord(counter);
    if (next & kSeidOverflowBit) return false;
    out = counter;
    counter = next;
    return true;
}
constexpr bool TakeNextSeidLow(uint32_t& counter, SeidLow& out)
{
    const uint32_t next = BumpSeidWord(counter);
    if (next == kSeidCounterStart || next < counter) return false;
    out = counter;
    counter = next;
    return true;
}

// Moves a counter past a value in use (when used >= counter): the counter becomes the
// value bumped. Past the last SeidHigh it holds kSeidHighPastLast, from which nothing
// more is handed out; a SeidLow counter moved past the last value rests exhausted.
// Returns whether the counter changed.
constexpr bool AdvanceSeidHighPast(uint32_t& counter, SeidHigh used)
{
    if (used & kSeidOverflowBit || used < counter) return false;
    counter = BumpSeidWord(used);
    return true;
}
constexpr bool AdvanceSeidLowPast(uint32_t& counter, SeidLow used)
{
    if (used < counter) return false;
    const uint32_t next = BumpSeidWord(used);
    counter = (next < used) ? kSeidLowExhausted : next;
    return true;
}

// Whether a stored counter value is one a counter can hold.
constexpr bool IsValidSeidHighCounter(uint32_t v)
{
    return AllBytesNonZero(v) && (!(v & kSeidOverflowBit) || v == kSeidHighPastLast);
}
constexpr bool IsValidSeidLowCounter(uint32_t v) { return AllBytesNonZero(v); }

// Throws vorn::CorruptLSSException "Serious error : Seid space overflow".
[[noreturn]] void ThrowSeidSpaceOverflow();

// "hhhhhhhh.llllllll" (lower-case hexadecimal, SeidHigh first); buf holds 18 bytes.
void FormatSeid(Seid s, char* buf);
xstring SeidToString(Seid s);
TextWriter& operator<<(TextWriter& w, Seid s);

} // namespace vorn
