#include "LssStoreTestUtil.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Crc32.h"
#include "vnUtils/PagedBuffer.h"
#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;

namespace {

struct Collect : ILogRecordVisitor {
    std::vector<std::string> seen;
    void VisitPacket(const PacketHeader& p) override
    {
        seen.push_back("P" + std::to_string(p.m_flags) + ":" + std::to_string(p.m_length) + ":" +
                       std::to_string(p.m_next.m_high));
    }
    void VisitTransaction(int32_t, int32_t after, int64_t n, HPTime t) override
    {
        seen.push_back("T" + std::to_string(after) + ":" + std::to_string(n) + ":" + std::to_string(t.m_ticks));
    }
    void VisitDelete(SeidLow l, SeidHigh h) override { seen.push_back("D" + std::to_string(l) + ":" + std::to_string(h)); }
};

uint32_t U32(const std::vector<uint8_t>& b, size_t at) { return LoadU32(b.data() + at); }

} // namespace

TEST(LogFormat, FlushUnitHeaderAndRecordsAreByteExact)
{
    uint8_t h[32];
    FlushUnitHeader u;
    u.m_crc = 0x11223344u;
    for (int i = 0; i < 16; ++i) reinterpret_cast<uint8_t*>(&u.m_cpid)[i] = uint8_t(0xA0 + i);
    u.m_fsn = 7;
    u.m_size = 0x123;
    u.m_nextSegId = 9;
    EncodeFlushUnitHeader(h, u);
    const uint8_t expect[32] = {0x44, 0x33, 0x22, 0x11, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                                0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 7,    0,
                                0,    0,    0x23, 0x01, 0,    0,    9,    0,    0,    0};
    EXPECT_EQ(std::memcmp(h, expect, 32), 0);
    const FlushUnitHeader back = DecodeFlushUnitHeader(h);
    EXPECT_EQ(back.m_fsn, 7u);
    EXPECT_EQ(back.m_size, 0x123);
    EXPECT_EQ(back.m_nextSegId, 9);

    uint8_t d[9];
    EncodeDeleteRecord(d, Seid(0x04030201u, 0x08070605u));
    const uint8_t de[9] = {1, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(d, de, 9), 0);
    uint8_t t[17];
    EncodeTransactionRecord(t, 0x0102030405060708LL, HPTime(0x1112131415161718LL));
    const uint8_t te[17] = {3, 8, 7, 6, 5, 4, 3, 2, 1, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11};
    EXPECT_EQ(std::memcmp(t, te, 17), 0);
    uint8_t p[13];
    EncodePacketHeader(p, PF_HEAD | PF_RPM_NODE, Seid(0x04030201u, 0x08070605u), 0x0A0B0C0D);
    const uint8_t pe[13] = {0x60, 1, 2, 3, 4, 5, 6, 7, 8, 0x0D, 0x0C, 0x0B, 0x0A};
    EXPECT_EQ(std::memcmp(p, pe, 13), 0);
}

TEST(LogFormat, SealedUnitsInTheStoreAreValidAndPadded)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(4096));
    const Seid s(0x01010101u, 0x01010101u);
    WriteElement(lss, s, std::vector<uint8_t>{1, 2, 3}, true);
    const RpmPosition pos = lss->GetRPM().Lookup(s, false);
    const int32_t seg = pos.m_segmentId;
    lss->Close();
    const size_t base = SegmentOffset(seg, 4096);
    std::vector<uint8_t> b = d->Copy();
    if (b.size() < base + 4096) b.resize(base + 4096); // the file ends where the log does
    // Walk the units of the segment: the one holding the element has the packet and a
    // transaction record, 13 + 3 + 17 bytes, and the next unit starts at 512.
    int64_t off = 0;
    bool found = false;
    while (off < 4096 && SealedUnitIsValid(b.data() + base, 4096, off)) {
        const FlushUnitHeader h = DecodeFlushUnitHeader(b.data() + base + off);
        EXPECT_EQ(h.m_crc, Crc32Update(0xFFFFFFFFu, b.data() + base + off + 4, size_t(28 + h.m_size)) ^ 0xFFFFFFFFu);
        if (off + 32 == pos.m_offset) {
            found = true;
            EXPECT_EQ(h.m_size, 13 + 3 + 17);
            EXPECT_EQ(NextUnitOffset(off, h.m_size, 512), off + 512);
            const uint8_t* r = b.data() + base + off + 32;
            EXPECT_EQ(r[0], PF_HEAD);
            EXPECT_EQ(LoadU32(r + 1), s.m_low);
            EXPECT_EQ(LoadU32(r + 5), s.m_high);
            EXPECT_EQ(LoadU32(r + 9), 3u);
            EXPECT_EQ(r[13], 1);
            EXPECT_EQ(r[16], LR_TRANSACTION);
            EXPECT_EQ(LoadI64(r + 17), 0); // the first transaction's number
            Collect c;
            WalkRecords(b.data() + base, seg, int32_t(off + 32), int32_t(off + 32 + h.m_size), false, c);
            ASSERT_EQ(c.seen.size(), 2u);
            EXPECT_EQ(c.seen[0], "P64:3:0");
        }
        off = NextUnitOffset(off, h.m_size, 512);
    }
    EXPECT_TRUE(found);
    EXPECT_FALSE(SealedUnitIsValid(b.data() + base, 4096, 4096 - 16)); // header outside
}

TEST(LogFormat, WalkVisitsEveryKindAndRejectsBadPackets)
{
    std::vector<uint8_t> b(256, 0);
    size_t at = 0;
    EncodePacketHeader(&b[at], PF_HEAD | PF_HAS_NEXT, Seid(0x01010101u, 0x01010101u), 2);
    at += 13 + 2;
    StoreU32(&b[at], 0x01010101u);
    StoreU32(&b[at + 4], 0x81010101u);
    at += 8;
    EncodePacketHeader(&b[at], 0, Seid(0x01010101u, 0x81010101u), 1);
    at += 14;
    EncodeDeleteRecord(&b[at], Seid(5, 6));
    at += 9;
    b[at++] = LR_TXN_MARK;
    EncodeTransactionRecord(&b[at], 42, HPTime(99));
    at += 17;
    Collect c;
    WalkRecords(b.data(), 3, 0, int32_t(at), false, c);
    const std::vector<std::string> want = {"P192:2:" + std::to_string(0x81010101u), "P0:1:0", "D5:6",
                                           "T" + std::to_string(at - 17) + ":-1:0", "T" + std::to_string(at) + ":42:99"};
    EXPECT_EQ(c.seen, want);
    Collect packets;
    WalkRecords(b.data(), 3, 0, int32_t(at), true, packets);
    EXPECT_EQ(packets.seen.size(), 2u);

    auto bad = [](uint8_t flags, Seid s, int32_t len, int32_t end) {
        std::vector<uint8_t> x(64, 0);
        EncodePacketHeader(x.data(), flags, s, len);
        Collect v;
        EXPECT_THROW(WalkRecords(x.data(), 1, 0, end, false, v), CorruptLSSException);
    };
    bad(PF_HEAD, Seid(0x01010101u, 0x81010101u), 0, 13);  // head with the overflow bit
    bad(0, Seid(0x01010101u, 0x01010101u), 0, 13);        // continuation without it
    bad(PF_HEAD, Seid(0, 0), 0, 13);                       // null seid
    bad(PF_HEAD, Seid(0x01010101u, 0x01010101u), 40, 30);  // payload past the end
    bad(PF_HEAD, Seid(0x01010101u, 0x01010101u), -5, 30);  // negative length
    bad(PF_HEAD | PF_HAS_NEXT, Seid(0x01010101u, 0x01010101u), 10, 30); // next seid past the end
    // An RPM node packet is exempt from the seid test.
    std::vector<uint8_t> n(64, 0);
    EncodePacketHeader(n.data(), PF_HEAD | PF_RPM_NODE, Seid(0, 0x01000000u), 4);
    Collect v;
    EXPECT_NO_THROW(WalkRecords(n.data(), 1, 0, 17, false, v));
    // A record cut by the end of the range.
    std::vector<uint8_t> t(64, 0);
    EncodeTransactionRecord(t.data(), 1, HPTime(1));
    EXPECT_THROW(WalkRecords(t.data(), 1, 0, 10, false, v), CorruptLSSException);
}

// ---------------------------------------------------------------------------------
// Root block

namespace {

std::vector<uint8_t> MakeRootBlock(int32_t msnA, bool validA, int32_t msnB, bool validB)
{
    std::vector<uint8_t> b(65536, 0);
    std::memcpy(b.data(), "VORNHAL-LSS", 12);
    StoreU32(&b[12], 2);
    StoreU32(&b[16], 2048);
    StoreU32(&b[20], 65536);
    StoreU32(&b[24], 4096);
    StoreU32(&b[28], 512);
    auto div = [&](size_t at, int32_t msn, bool valid) {
        StoreU32(&b[at + 4], uint32_t(msn));
        StoreU32(&b[at + 31740], uint32_t(msn));
        b[at + 8] = uint8_t(msn); // a payload byte that tells the divisions apart
        StoreU32(&b[at], RootBlock::DivisionCrc(&b[at]) ^ (valid ? 0u : 1u));
    };
    div(2048, msnA, validA);
    div(33792, msnB, validB);
    return b;
}

int32_t Choose(const std::vector<uint8_t>& bytes, uint8_t* payloadByte = nullptr)
{
    auto d = std::make_shared<SharedBytes>();
    d->m_bytes = bytes;
    SharedRAS ras(d);
    RootBlock rb(&ras, 4096);
    bool graceful;
    int32_t seg;
    InputArchive ar = rb.Read(graceful, seg);
    EXPECT_EQ(seg, 4096);
    if (payloadByte) *payloadByte = *ar.Ptr();
    return rb.GetMsn();
}

std::string ReadError(const std::vector<uint8_t>& bytes)
{
    auto d = std::make_shared<SharedBytes>();
    d->m_bytes = bytes;
    SharedRAS ras(d);
    RootBlock rb(&ras, 4096);
    bool graceful;
    int32_t seg;
    try {
        rb.Read(graceful, seg);
    } catch (const CorruptLSSException& e) {
        return std::string(e.GetMessage().data(), e.GetMessage().size());
    }
    return "";
}

} // namespace

TEST(RootBlock, HeaderAndFirstDivisionOfANewStoreAreByteExact)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(4096));
    lss->Close();
    const std::vector<uint8_t> b = d->Copy();
    EXPECT_EQ(std::memcmp(b.data(), "VORNHAL-LSS\0", 12), 0);
    EXPECT_EQ(U32(b, 12), 2u);
    EXPECT_EQ(U32(b, 16), 2048u);
    EXPECT_EQ(U32(b, 20), 65536u);
    EXPECT_EQ(U32(b, 24), 4096u);
    EXPECT_EQ(U32(b, 28), 512u);
    for (size_t i = 32; i < 1024; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[1024], 1);
    // Division A stays zero; B has msn 1, a good CRC and the payload's markers.
    for (size_t i = 2048; i < 33792; ++i) ASSERT_EQ(b[i], 0) << i;
    const uint8_t* B = b.data() + 33792;
    EXPECT_EQ(LoadU32(B + 4), 1u);
    EXPECT_EQ(LoadU32(B + 31740), 1u);
    EXPECT_EQ(LoadU32(B), Crc32Update(0xFFFFFFFFu, B + 4, 31740) ^ 0xFFFFFFFFu);
    EXPECT_EQ(LoadU32(B + 8), 13u);
    EXPECT_EQ(std::memcmp(B + 12, "LSS-BEGIN-DIV", 13), 0);
    EXPECT_EQ(LoadU32(B + 25), 4u);
    EXPECT_TRUE(RootBlock::DivisionIsValid(B, true));
    EXPECT_FALSE(RootBlock::DivisionIsValid(B, false)); // the wrong slot's parity
}

TEST(RootBlock, DivisionChoiceAndHeaderChecks)
{
    uint8_t which = 0;
    EXPECT_EQ(Choose(MakeRootBlock(6, true, 7, true), &which), 7);
    EXPECT_EQ(which, 7);
    EXPECT_EQ(Choose(MakeRootBlock(6, true, 7, false), &which), 6);
    EXPECT_EQ(which, 6);
    EXPECT_EQ(Choose(MakeRootBlock(8, true, 7, true)), 8);
    EXPECT_EQ(Choose(MakeRootBlock(6, false, 7, true)), 7);
    // B with msn1 != msn2 is ignored although its CRC matches.
    std::vector<uint8_t> torn = MakeRootBlock(6, true, 7, true);
    StoreU32(&torn[33792 + 31740], 9);
    StoreU32(&torn[33792], RootBlock::DivisionCrc(&torn[33792]));
    EXPECT_EQ(Choose(torn), 6);
    // The sequence number wraps: 0x80000000 follows 0x7FFFFFFF, 0 follows 0xFFFFFFFF.
    EXPECT_EQ(uint32_t(Choose(MakeRootBlock(int32_t(0x80000000u), true, 0x7FFFFFFF, true))), 0x80000000u);
    EXPECT_EQ(uint32_t(Choose(MakeRootBlock(0, true, int32_t(0xFFFFFFFFu), true), &which)), 0u);
    EXPECT_EQ(which, 0);
    EXPECT_EQ(uint32_t(Choose(MakeRootBlock(int32_t(0xFFFFFFFEu), true, int32_t(0xFFFFFFFFu), true))), 0xFFFFFFFFu);
    // Sequence numbers of the wrong parity do not count.
    EXPECT_EQ(ReadError(MakeRootBlock(7, true, 8, true)), "LSS is corrupt : Both divisions in root block are invalid");
    EXPECT_EQ(ReadError(MakeRootBlock(6, false, 7, false)), "LSS is corrupt : Both divisions in root block are invalid");
    std::vector<uint8_t> small = MakeRootBlock(6, true, 7, true);
    small.resize(65535);
    EXPECT_EQ(ReadError(small), "File too small - cannot read LSS root block");
    std::vector<uint8_t> magic = MakeRootBlock(6, true, 7, true);
    magic[11] = '!';
    EXPECT_EQ(ReadError(magic), "A valid LSS must contain 'VORNHAL-LSS' at the start of the root block");
    std::vector<uint8_t> schema = MakeRootBlock(6, true, 7, true);
    StoreU32(&schema[12], 3);
    EXPECT_EQ(ReadError(schema), "LSS root block schema [3] invalid. Required schema [2]");
    std::vector<uint8_t> hs = MakeRootBlock(6, true, 7, true);
    StoreU32(&hs[20], 4096);
    EXPECT_EQ(ReadError(hs), "LSS root block specifies incompatible root block header size");
    std::vector<uint8_t> ss = MakeRootBlock(6, true, 7, true);
    StoreU32(&ss[28], 4096);
    EXPECT_EQ(ReadError(ss), "LSS root block specifies incompatible disk sector size");
}

TEST(RootBlock, PayloadSchemasAndMarkers)
{
    auto d = std::make_shared<SharedBytes>();
    LSS lss(std::make_unique<SharedRAS>(d), nullptr, SmallSettings(4096));
    lss.GetSUT().SetSegmentSize(4096);
    auto payload = [&](int32_t schema, bool withCounts, const char* end) {
        PagedBuffer pb(4096);
        PagedBufferToOutputStreamAdapter out(&pb);
        Archive ar(&out);
        ar.Write4(13);
        ar.WriteBytes("LSS-BEGIN-DIV", 13);
        ar.Write4(uint32_t(schema));
        lss.GetSUT().Serialise(ar);
        lss.GetRPM().Serialise(ar);
        ar.Write4(1);
        ar.Write4(512);
        ar.Write4(3);
        ar.SerialiseGuid(Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}});
        if (withCounts) {
            ar.Write8(77);
            ar.Write4(5);
        }
        ar.Write4(uint32_t(std::strlen(end)));
        ar.WriteBytes(end, int32_t(std::strlen(end)));
        ar.Flush();
        std::vector<uint8_t> v(size_t(pb.GetSize()));
        pb.CopyTo(v.data());
        return v;
    };
    std::vector<uint8_t> p4 = payload(4, true, "LSS-END-DIV");
    lss.ReadRootDivision(InputArchive(p4.data(), p4.size()));
    EXPECT_EQ(lss.GetNumTransactions(), 77);
    EXPECT_EQ(lss.GetNumCheckPoints(), 5);
    EXPECT_EQ(lss.GetMSSN(), 3);
    EXPECT_EQ(lss.GetPositionOfLastCheckPoint(), (LogPosition{1, 512}));
    std::vector<uint8_t> p1 = payload(1, false, "LSS-END-DIV");
    lss.ReadRootDivision(InputArchive(p1.data(), p1.size()));
    EXPECT_EQ(lss.GetNumTransactions(), 0);
    EXPECT_EQ(lss.GetNumCheckPoints(), 0);
    std::vector<uint8_t> p2 = payload(2, true, "LSS-END-DIV");
    try {
        lss.ReadRootDivision(InputArchive(p2.data(), p2.size()));
        ADD_FAILURE();
    } catch (const CorruptLSSException& e) {
        EXPECT_EQ(std::string(e.GetMessage().data(), e.GetMessage().size()), "LSS schema 2,3 no longer supported");
    }
    std::vector<uint8_t> p5 = payload(5, true, "LSS-END-DIV");
    try {
        lss.ReadRootDivision(InputArchive(p5.data(), p5.size()));
        ADD_FAILURE();
    } catch (const DeserialisationException& e) {
        EXPECT_EQ(std::string(e.GetMessage().data(), e.GetMessage().size()), "Bad schema (5) - should be between 1 and 4");
    }
    std::vector<uint8_t> pe = payload(4, true, "LSS-END-DIX");
    EXPECT_THROW(lss.ReadRootDivision(InputArchive(pe.data(), pe.size())), CorruptLSSException);
    // Every truncation is refused, never read past.
    for (size_t n = 0; n < p4.size(); ++n) {
        std::vector<uint8_t> cut(p4.begin(), p4.begin() + n);
        try {
            lss.ReadRootDivision(InputArchive(cut.data(), cut.size()));
            ADD_FAILURE() << n;
        } catch (const CorruptLSSException&) {
        } catch (const DeserialisationException&) {
        }
    }
}
