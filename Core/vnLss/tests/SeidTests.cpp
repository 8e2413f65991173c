#include "vnLss/Seid.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>

using namespace vorn;

TEST(Seid, BytesAndLayout)
{
    Seid s(0x04030201u, 0x08070605u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(s.Byte(i), i + 1);
    unsigned char raw[8];
    std::memcpy(raw, &s, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(raw[i], i + 1) << "byte " << i;
    EXPECT_EQ(s.WithByte(0, 0), Seid(0x04030200u, 0x08070605u));
    EXPECT_EQ(s.WithByte(7, 0xAA), Seid(0x04030201u, 0xAA070605u));
    EXPECT_LT(Seid(0xFFFFFFFFu, 1), Seid(0, 2));
}

TEST(Seid, Validity)
{
    EXPECT_TRUE(IsValidSeid(Seid(0x01010101u, 0x01010101u)));
    EXPECT_TRUE(IsValidSeid(Seid(0xFFFFFFFFu, 0x7FFFFFFFu)));
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(IsValidSeid(Seid(0x01010101u, 0x01010101u).WithByte(i, 0)));
    EXPECT_FALSE(IsValidSeid(Seid(0x01010101u, 0x81010101u)));
    EXPECT_TRUE(IsValidOverflowSeid(Seid(0x01010101u, 0x81010101u)));
    EXPECT_FALSE(IsValidOverflowSeid(Seid(0x01010001u, 0x81010101u)));

    EXPECT_TRUE(IsSeidPrefix(Seid(0, 0)));
    EXPECT_TRUE(IsSeidPrefix(Seid(0, 0x01000000u)));
    EXPECT_TRUE(IsSeidPrefix(Seid(0x01010100u, 0x01010101u)));
    EXPECT_FALSE(IsSeidPrefix(Seid(0x01010101u, 0x01010101u)));
    EXPECT_FALSE(IsSeidPrefix(Seid(0x00010000u, 0x01010101u)));
    EXPECT_FALSE(IsSeidPrefix(Seid(0, 0x00000001u)));
}

TEST(Seid, BumpRule)
{
    EXPECT_EQ(BumpSeidWord(0x01010101u), 0x01010102u);
    EXPECT_EQ(BumpSeidWord(0x010101FFu), 0x01010201u);
    EXPECT_EQ(BumpSeidWord(0x0101FFFFu), 0x01020101u);
    EXPECT_EQ(BumpSeidWord(0x7FFFFFFEu), 0x7FFFFFFFu);
    EXPECT_EQ(BumpSeidWord(0xFFFFFFFFu), 0x01010101u);
    // Every value handed out has four non-zero bytes.
    uint32_t c = kSeidCounterStart;
    for (int i = 0; i < 100000; ++i) {
        SeidLow v;
        ASSERT_TRUE(TakeNextSeidLow(c, v));
        ASSERT_TRUE(AllBytesNonZero(v));
        ASSERT_GT(c, v);
    }
}

TEST(Seid, HighCounterExhaustsAndStays)
{
    uint32_t c = kSeidCounterStart;
    SeidHigh h = 0;
    ASSERT_TRUE(TakeNextSeidHigh(c, h));
    EXPECT_EQ(h, 0x01010101u);
    ASSERT_TRUE(TakeNextSeidHigh(c, h));
    EXPECT_EQ(h, 0x01010102u);
    c = 0x7FFFFFFEu;
    ASSERT_TRUE(TakeNextSeidHigh(c, h));
    EXPECT_EQ(h, 0x7FFFFFFEu);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(TakeNextSeidHigh(c, h));
        EXPECT_EQ(c, 0x7FFFFFFFu);
    }
    // Moving past the last SeidHigh in use sets the counter to it bumped, not wrapped;
    // nothing is handed out from there, and later uses leave it where it is.
    c = kSeidCounterStart;
    EXPECT_TRUE(AdvanceSeidHighPast(c, 0x7FFFFFFFu));
    EXPECT_EQ(c, 0x80010101u);
    EXPECT_TRUE(IsValidSeidHighCounter(c));
    EXPECT_FALSE(TakeNextSeidHigh(c, h));
    EXPECT_EQ(c, 0x80010101u);
    EXPECT_FALSE(AdvanceSeidHighPast(c, 0x7FFFFFFFu));
    EXPECT_FALSE(IsValidSeidHighCounter(0x80010102u));
    c = 0x01010105u;
    EXPECT_FALSE(AdvanceSeidHighPast(c, 0x01010104u));
    EXPECT_EQ(c, 0x01010105u);
    EXPECT_TRUE(AdvanceSeidHighPast(c, 0x01010105u));
    EXPECT_EQ(c, 0x01010106u);
    EXPECT_FALSE(AdvanceSeidHighPast(c, 0x81010105u)); // overflow spaces do not count
}

TEST(Seid, LowCounterExhaustsAndStays)
{
    uint32_t c = 0xFFFFFFFEu;
    SeidLow l = 0;
    ASSERT_TRUE(TakeNextSeidLow(c, l));
    EXPECT_EQ(l, 0xFFFFFFFEu);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(TakeNextSeidLow(c, l));
        EXPECT_EQ(c, kSeidLowExhausted);
    }
    c = 0x01010101u;
    EXPECT_TRUE(AdvanceSeidLowPast(c, 0xFFFFFFFFu));
    EXPECT_EQ(c, kSeidLowExhausted);
    EXPECT_FALSE(TakeNextSeidLow(c, l));
    EXPECT_THROW(ThrowSeidSpaceOverflow(), CorruptLSSException);
    try {
        ThrowSeidSpaceOverflow();
    } catch (const CorruptLSSException& e) {
        EXPECT_EQ(e.GetMessage(), "Serious error : Seid space overflow");
    }
}

TEST(Seid, Printing)
{
    EXPECT_EQ(SeidToString(Seid(0x0000abcdu, 0x7f010203u)), "7f010203.0000abcd");
    StringTextWriter w;
    w << Seid(1, 2);
    EXPECT_EQ(w.TakeText(), "00000002.00000001");
}
