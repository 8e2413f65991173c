#include "vnUtils/Crc32.h"
#include <gtest/gtest.h>
#include <random>
#include <vector>

using namespace vorn;

namespace {

// The plain table method, one byte a step.
uint32_t ByteWiseCrc(uint32_t crc, const uint8_t* p, size_t n)
{
    while (n--) crc = g_crc32Table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

} // namespace

TEST(Crc32, TableHoldsTheReflectedIeeeEntries)
{
    EXPECT_EQ(g_crc32Table[0], 0u);
    EXPECT_EQ(g_crc32Table[1], 0x77073096u);
    EXPECT_EQ(g_crc32Table[128], 0xEDB88320u);
    EXPECT_EQ(g_crc32Table[255], 0x2D02EF8Du);
    uint32_t built[256];
    BuildCrc32Table(built);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(built[i], g_crc32Table[i]) << i;
}

TEST(Crc32, KnownChecksums)
{
    const char* text = "123456789";
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, text, 9) ^ 0xFFFFFFFFu, 0xCBF43926u);
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, text, 0), 0xFFFFFFFFu);
    // Split anywhere, the running value carries on.
    for (size_t cut = 0; cut <= 9; ++cut)
        EXPECT_EQ(Crc32Update(Crc32Update(0xFFFFFFFFu, text, cut), text + cut, 9 - cut) ^ 0xFFFFFFFFu, 0xCBF43926u);
    const char* fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, fox, 43) ^ 0xFFFFFFFFu, 0x414FA339u);
}

TEST(Crc32, FoldedUpdateEqualsTheByteWiseTableMethod)
{
    std::mt19937 rng(3);
    std::vector<uint8_t> data(5000);
    for (auto& b : data) b = uint8_t(rng());
    for (int round = 0; round < 300; ++round) {
        const size_t off = rng() % 64;
        const size_t n = rng() % (data.size() - off);
        const uint32_t init = rng();
        ASSERT_EQ(Crc32Update(init, data.data() + off, n), ByteWiseCrc(init, data.data() + off, n)) << off << " " << n;
    }
}
