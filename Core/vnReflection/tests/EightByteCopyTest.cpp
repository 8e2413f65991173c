// The one copy of 8-byte plain values that the tables of such values share.
#include "vnReflection/BasicTypeOps.h"
#include "vnReflection/GeneratedTypeOps.h"
#include <gtest/gtest.h>
#include <cstdint>
#include <cstring>

using namespace vorn;

namespace {

struct WordPair {
    uint32_t m_low;
    uint32_t m_high;
};

// Values at one stride go to another; the bytes between destination elements stay as
// they were, and the result is the destination address after the last element.
TEST(EightByteCopy, CopiesAtStridesAndReturnsTheEndOfTheDestination)
{
    uint64_t src[3 * 2];
    for (int i = 0; i < 6; ++i) src[i] = 0x1111111111111111ull * uint64_t(i + 1);
    unsigned char dst[3 * 12];
    std::memset(dst, 0xEE, sizeof dst);

    void* end = CopyEightByteValuesN(dst, 12, src, 16, 3);
    EXPECT_EQ(end, dst + 36);
    for (int i = 0; i < 3; ++i) {
        uint64_t v;
        std::memcpy(&v, dst + 12 * i, 8);
        EXPECT_EQ(v, src[2 * i]);
        for (int k = 8; k < 12; ++k) EXPECT_EQ(dst[12 * i + k], 0xEE);
    }
    EXPECT_EQ(CopyEightByteValuesN(dst, 12, src, 16, 0), static_cast<void*>(dst));
    EXPECT_EQ(CopyEightByteValuesN(nullptr, 8, src, 8, 3), nullptr);
}

// The 64-bit basic types and the generated tables of 8-byte structs copy and assign
// through that one operation.
TEST(EightByteCopy, EveryEightByteTableSharesIt)
{
    const TypeOps structOps = StructTypeOps<WordPair>(SOS_VALUE);
    const auto shared = structOps.m_copyConstructN;
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(structOps.m_assignN, shared);
    for (EBasicTypeOps which : {BTO_INT64, BTO_UINT64, BTO_FLOAT64, BTO_POINTER}) {
        const TypeOps& ops = GetFixedTypeOps(which);
        ASSERT_EQ(ops.m_size, 8) << which;
        EXPECT_EQ(ops.m_copyConstructN, shared) << which;
        EXPECT_EQ(ops.m_assignN, shared) << which;
    }

    WordPair from[2] = {{1, 2}, {3, 4}};
    WordPair to[2] = {};
    shared(to, sizeof(WordPair), from, sizeof(WordPair), 2);
    EXPECT_EQ(to[1].m_low, 3u);
    EXPECT_EQ(to[1].m_high, 4u);
    shared(nullptr, 8, from, 8, 2); // a null destination copies nothing
}

} // namespace
