#include "vnUtils/Crc32.h"
#include <array>
#include <cstring>

namespace vorn {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

constexpr uint32_t TableEntry(uint32_t i)
{
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    return c;
}

// Slicing tables: row 0 is the plain table; row k gives the CRC of a byte followed by
// k zero bytes, so that 16 input bytes fold in one step.
constexpr int kSlices = 16;
using SliceTables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr SliceTables MakeSliceTables()
{
    SliceTables t{};
    for (uint32_t i = 0; i < 256; ++i) t[0][i] = TableEntry(i);
    for (int k = 1; k < kSlices; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

alignas(64) constexpr SliceTables kSlice = MakeSliceTables();

inline uint32_t Load32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4); // x86-64: least significant byte first
    return v;
}

} // namespace

alignas(64) constinit const std::array<uint32_t, 256> g_crc32Table = kSlice[0];

void BuildCrc32Table(uint32_t* table)
{
    for (uint32_t i = 0; i < 256; ++i) table[i] = TableEntry(i);
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t n)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (n >= 16) {
        const uint32_t a = Load32(p) ^ crc;
        const uint32_t b = Load32(p + 4);
        const uint32_t c = Load32(p + 8);
        const uint32_t d = Load32(p + 12);
        crc = kSlice[15][a & 0xFF] ^ kSlice[14][(a >> 8) & 0xFF] ^ kSlice[13][(a >> 16) & 0xFF] ^ kSlice[12][a >> 24] ^
              kSlice[11][b & 0xFF] ^ kSlice[10][(b >> 8) & 0xFF] ^ kSlice[9][(b >> 16) & 0xFF] ^ kSlice[8][b >> 24] ^
              kSlice[7][c & 0xFF] ^ kSlice[6][(c >> 8) & 0xFF] ^ kSlice[5][(c >> 16) & 0xFF] ^ kSlice[4][c >> 24] ^
              kSlice[3][d & 0xFF] ^ kSlice[2][(d >> 8) & 0xFF] ^ kSlice[1][(d >> 16) & 0xFF] ^ kSlice[0][d >> 24];
        p += 16;
        n -= 16;
    }
    while (n--) crc = kSlice[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

} // namespace vorn
