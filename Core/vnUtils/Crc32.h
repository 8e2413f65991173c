// The reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320): the 256-entry lookup
// table and an update over it. The initial value and final XOR belong to the caller;
// the usual checksum is Crc32Update(0xFFFFFFFF, data, n) ^ 0xFFFFFFFF.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn {

// Entry i is i put through eight steps of: shift right by one, and XOR with
// 0xEDB88320 when the bit shifted out was 1. Constant from static initialisation on,
// so it is complete before any code runs.
extern const std::array<uint32_t, 256> g_crc32Table;

// Computes the table above into table[0..255] bit by bit.
void BuildCrc32Table(uint32_t* table);

// Runs crc through the n bytes at data: per byte,
// crc = g_crc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8). Several bytes are folded per
// step; the result is the same.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t n);

} // namespace vorn
