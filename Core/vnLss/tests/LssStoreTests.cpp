#include "LssStoreTestUtil.h"
#include "LssTestUtil.h"
#include "vnLss/LssLayout.h"
#include "vnLss/RootBlock.h"
#include "vnUtils/Crc32.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

const Seid kA(0x01010101u, 0x01010101u);
const Seid kB(0x01010102u, 0x01010101u);
const Seid kC(0x01010103u, 0x01010101u);

int32_t Head(LSS* lss, int32_t* offset = nullptr)
{
    CriticalSectionLock lock(lss->GetSegmentWriter().GetLock());
    if (offset) *offset = lss->GetSegmentWriter().GetWriteOffset();
    return lss->GetSegmentWriter().GetSegmentId();
}

// The head packet of an element, decoded from the store.
struct HeadPacket {
    uint8_t flags = 0;
    int32_t length = 0;
    Seid next;
    RpmPosition pos;
};
HeadPacket GetHeadPacket(LSS* lss, Seid s)
{
    HeadPacket r;
    r.pos = lss->GetRPM().Lookup(s, false);
    PacketHeader h;
    h.Decode(lss->GetCache(), lss->GetSUT(), r.pos.m_segmentId, r.pos.m_offset, false);
    r.flags = h.m_flags;
    r.length = h.m_length;
    r.next = h.m_next;
    return r;
}

} // namespace

TEST(LssStore, CreateCloseAndReopenMarksCleanShutdown)
{
    auto d = std::make_shared<SharedBytes>();
    bool created = false;
    LSS* lss = OpenShared(d, SmallSettings(), &created);
    EXPECT_TRUE(created);
    EXPECT_EQ(d->At(1024), 0);
    EXPECT_EQ(lss->GetMSSN(), 0);
    EXPECT_EQ(lss->GetRootBlock().GetMsn(), 1u);
    std::exception_ptr failure;
    EXPECT_TRUE(lss->CloseReporting(&failure));
    EXPECT_FALSE(failure);
    EXPECT_EQ(d->At(1024), 1);
    EXPECT_GT(d->m_syncs.load(), 2);

    lss = OpenShared(d, SmallSettings(8192), &created); // the file's segment size wins
    EXPECT_FALSE(created);
    EXPECT_EQ(lss->GetMSSN(), 0);
    EXPECT_EQ(lss->GetSUT().GetSegmentSize(), 4096);
    EXPECT_EQ(d->At(1024), 0);
    lss->Close();
    EXPECT_EQ(d->At(1024), 1);
}

TEST(LssStore, ElementsOfEverySizeReadBackBeforeAndAfterReopen)
{
    auto d = std::make_shared<SharedBytes>();
    const int32_t seg = 4096;
    LSS* lss = OpenShared(d, SmallSettings(seg));
    struct Case {
        Seid seid;
        size_t size;
    };
    const Case cases[] = {
        {Seid(0x01010101u, 0x01010101u), 0},
        {Seid(0x01010102u, 0x01010101u), size_t(seg - 32 - 13 - 8)},
        {Seid(0x01010103u, 0x01010101u), size_t(seg - 32 - 13 - 8 + 1)},
        {Seid(0x01010104u, 0x01010101u), size_t(5 * seg + 17)},
        {Seid(0x01010105u, 0x01010101u), 1},
    };
    for (const Case& c : cases) {
        // Each element starts in an empty segment, so the one-packet limit is exact.
        ILssTransaction* t = lss->OpenTransaction();
        t->Close();
        {
            CriticalSectionLock l(lss->GetSegmentWriter().GetLock());
            lss->GetSegmentWriter().NewSegment();
        }
        WriteElement(lss, c.seid, Pattern(c.size, c.seid.m_low));
    }
    const HeadPacket fits = GetHeadPacket(lss, cases[1].seid);
    EXPECT_EQ(fits.flags, PF_HEAD);
    EXPECT_EQ(fits.length, seg - 53);
    const HeadPacket split = GetHeadPacket(lss, cases[2].seid);
    EXPECT_EQ(split.flags, PF_HEAD | PF_HAS_NEXT);
    EXPECT_EQ(split.length, seg - 53);
    EXPECT_TRUE(split.next.m_high & kSeidOverflowBit);
    EXPECT_EQ(split.next.m_high, cases[2].seid.m_high | kSeidOverflowBit);
    EXPECT_EQ(lss->GetRPM().Lookup(Seid(split.next), false).m_offset, 32);

    auto checkAll = [&](LSS* s) {
        for (const Case& c : cases) {
            std::vector<uint8_t> a, b;
            ASSERT_TRUE(ReadByStream(s, c.seid, a, 777));
            ASSERT_TRUE(ReadWhole(s, c.seid, b));
            EXPECT_EQ(a, Pattern(c.size, c.seid.m_low)) << c.size;
            EXPECT_EQ(b, a);
        }
    };
    checkAll(lss);
    lss->Close();
    lss = OpenShared(d, SmallSettings(seg));
    checkAll(lss);
    EXPECT_EQ(lss->GetNumTransactions(), 5);
    lss->Close();
}

TEST(LssStore, StreamReadReturnsWhatIsLeftThenZero)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings());
    WriteElement(lss, kA, Pattern(97, 1));
    ICloseableInputStream* in = lss->ReadSerialElement(kA);
    ASSERT_NE(in, nullptr);
    uint8_t buf[100];
    EXPECT_EQ(in->ReadStream(buf, 100), 97);
    EXPECT_EQ(in->ReadStream(buf, 100), 0);
    in->Close();
    EXPECT_EQ(lss->ReadSerialElement(Seid(0x01010100u, 0x01010101u)), nullptr); // a zero byte
    EXPECT_EQ(lss->ReadSerialElement(kB), nullptr);                              // no element
    EXPECT_FALSE(lss->SerialElementExists(Seid(0x01010101u, 0x81010101u)));
    EXPECT_TRUE(lss->SerialElementExists(kA));
    lss->Close();
}

TEST(LssStore, RoomRulesAtTheEndOfASegment)
{
    auto d = std::make_shared<SharedBytes>();
    const int32_t seg = 4096;
    LSS* lss = OpenShared(d, SmallSettings(seg));
    SegmentWriter& w = lss->GetSegmentWriter();
    auto fillTo = [&](ILssTransaction* t, Seid s, int32_t left) {
        const int32_t p = seg - w.GetWriteOffset() - 13 - left;
        ICloseableOutputStream* o = t->WriteSerialElement(s.m_low, s.m_high);
        std::vector<uint8_t> b(size_t(p), 7);
        o->WriteStream(b.data(), p);
        o->Close();
        EXPECT_EQ(w.Remaining(), left);
    };
    WriteElement(lss, kC, Pattern(10, 3));
    // 36 bytes left: a new element starts in a new segment.
    ILssTransaction* t = lss->OpenTransaction();
    fillTo(t, kA, 36);
    const int32_t first = w.GetSegmentId();
    ICloseableOutputStream* o = t->WriteSerialElement(kB.m_low, kB.m_high);
    EXPECT_NE(w.GetSegmentId(), first);
    o->Close();
    EXPECT_EQ(lss->GetRPM().Lookup(kB, false), (RpmPosition{w.GetSegmentId(), 32}));
    // 16 bytes left: the transaction record goes to a new segment.
    fillTo(t, kA, 16);
    const int32_t second = w.GetSegmentId();
    t->Close();
    int32_t off = 0;
    EXPECT_NE(Head(lss, &off), second);
    EXPECT_EQ(off, 32 + 17);
    // 8 bytes left: the delete record goes to a new segment.
    t = lss->OpenTransaction();
    fillTo(t, kA, 8);
    const int32_t third = w.GetSegmentId();
    EXPECT_TRUE(t->DeleteSerialElement(kC.m_low, kC.m_high));
    EXPECT_NE(w.GetSegmentId(), third);
    EXPECT_EQ(w.GetWriteOffset(), 32 + 9);
    t->Close();
    lss->Close();
}

TEST(LssStore, RewriteAndDeleteAccountTheUtilisation)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(4096));
    SUT& sut = lss->GetSUT();
    const int64_t base = sut.GetTotalUtilisation();
    WriteElement(lss, kA, Pattern(100, 1));
    EXPECT_EQ(sut.GetTotalUtilisation(), base + 113);
    const int32_t segA = lss->GetRPM().Lookup(kA, false).m_segmentId;
    const int32_t before = sut.GetUtilisation(segA);
    WriteElement(lss, kA, Pattern(50, 2)); // rewrite: the old version is freed first
    EXPECT_EQ(sut.GetTotalUtilisation(), base + 63);
    EXPECT_EQ(sut.GetUtilisation(segA), before - 113 + (lss->GetRPM().Lookup(kA, false).m_segmentId == segA ? 63 : 0));
    // A chained element counts 13 + length + 8 per split packet.
    WriteElement(lss, kB, Pattern(10000, 3));
    const int64_t withB = sut.GetTotalUtilisation();
    const int64_t packets = withB - base - 63 - 10000;
    EXPECT_EQ(packets % 21, 13); // n packets: 13 n + 8 (n - 1)
    ILssTransaction* t = lss->OpenTransaction();
    EXPECT_TRUE(t->DeleteSerialElement(kB.m_low, kB.m_high));
    EXPECT_FALSE(t->DeleteSerialElement(kC.m_low, kC.m_high));
    t->Close();
    EXPECT_EQ(sut.GetTotalUtilisation(), base + 63);
    EXPECT_FALSE(lss->SerialElementExists(kB));
    EXPECT_EQ(lss->GetNumTransactions(), 4);
    lss->Close();
    lss = OpenShared(d, SmallSettings(4096));
    EXPECT_FALSE(lss->SerialElementExists(kB));
    std::vector<uint8_t> a;
    ASSERT_TRUE(ReadWhole(lss, kA, a));
    EXPECT_EQ(a, Pattern(50, 2));
    lss->Close();
}

TEST(LssStore, TransactionWithoutChangesLeavesTheLogAlone)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings());
    int32_t off0 = 0, off1 = 0;
    const int32_t seg0 = Head(lss, &off0);
    ILssTransaction* t = lss->OpenTransaction();
    EXPECT_FALSE(t->DeleteSerialElement(kA.m_low, kA.m_high));
    t->Close();
    EXPECT_EQ(Head(lss, &off1), seg0);
    EXPECT_EQ(off1, off0);
    EXPECT_EQ(lss->GetNumTransactions(), 0);
    lss->Close();
}

TEST(LssStore, MisuseIsRefusedAndChangesNothing)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings());
    WriteElement(lss, kB, Pattern(5, 5));
    ILssTransaction* t = lss->OpenTransaction();
    EXPECT_THROW(lss->OpenTransaction(), ProgrammingErrorException); // nested on one thread
    std::thread other([&] {
        EXPECT_THROW(t->Close(), ProgrammingErrorException);
        EXPECT_THROW(t->WriteSerialElement(kA.m_low, kA.m_high), ProgrammingErrorException);
    });
    other.join();
    EXPECT_THROW(t->WriteSerialElement(0x01010101u, 0x81010101u), ProgrammingErrorException);
    EXPECT_THROW(t->DeleteSerialElement(0x00010101u, 0x01010101u), ProgrammingErrorException);
    ICloseableOutputStream* w = t->WriteSerialElement(kA.m_low, kA.m_high);
    EXPECT_THROW(t->WriteSerialElement(kC.m_low, kC.m_high), ProgrammingErrorException);
    EXPECT_THROW(t->Close(), ProgrammingErrorException);
    EXPECT_THROW(t->DeleteSerialElement(kB.m_low, kB.m_high), ProgrammingErrorException); // inside a packet
    EXPECT_THROW(t->DeleteSerialElement(kA.m_low, kA.m_high), ProgrammingErrorException);
    EXPECT_THROW(lss->ReadSerialElement(kA), ProgrammingErrorException);
    EXPECT_THROW(lss->GetSegmentWriter().Flush(), ProgrammingErrorException);
    EXPECT_THROW(lss->CheckPointWithNewId(), ProgrammingErrorException);
    std::vector<uint8_t> b;
    EXPECT_TRUE(ReadWhole(lss, kB, b)); // other elements stay readable
    w->WriteStream("abc", 3);
    w->Close();
    EXPECT_THROW(w->WriteStream("x", 1), ProgrammingErrorException);
    EXPECT_THROW(w->Close(), ProgrammingErrorException);
    // A seid being read cannot be written or deleted until the reader lets go.
    ICloseableInputStream* in = lss->ReadSerialElement(kB);
    ASSERT_NE(in, nullptr);
    EXPECT_THROW(t->WriteSerialElement(kB.m_low, kB.m_high), ProgrammingErrorException);
    EXPECT_THROW(t->DeleteSerialElement(kB.m_low, kB.m_high), ProgrammingErrorException);
    in->Close();
    EXPECT_TRUE(t->DeleteSerialElement(kB.m_low, kB.m_high));
    t->Close();
    EXPECT_FALSE(lss->HasBackgroundFailure());
    ASSERT_TRUE(ReadWhole(lss, kA, b));
    EXPECT_EQ(b, std::vector<uint8_t>({'a', 'b', 'c'}));
    lss->Close();
}

// A check point asked for by the thread inside its transaction is refused (it would
// take the check-point lock after the writer's and make uncommitted changes durable);
// closing the store inside a transaction ends it and drops what it changed.
TEST(LssStore, CheckPointAndCloseInsideATransaction)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings());
    WriteElement(lss, kA, Pattern(100, 1), true);
    ILssTransaction* t = lss->OpenTransaction();
    ICloseableOutputStream* w = t->WriteSerialElement(kB.m_low, kB.m_high);
    w->WriteStream("bbb", 3);
    w->Close();
    EXPECT_THROW(lss->CheckPointWithNewId(), ProgrammingErrorException);
    t->Close();
    lss->Close();
    lss = OpenShared(d, SmallSettings());
    std::vector<uint8_t> r;
    EXPECT_TRUE(ReadWhole(lss, kB, r));

    // Closed inside a transaction that wrote (one element closed, one still open).
    t = lss->OpenTransaction();
    w = t->WriteSerialElement(kC.m_low, kC.m_high);
    w->WriteStream("ccc", 3);
    w->Close();
    w = t->WriteSerialElement(kA.m_low, kA.m_high);
    w->WriteStream("aaa", 3);
    std::exception_ptr failure;
    EXPECT_FALSE(lss->CloseReporting(&failure));
    EXPECT_TRUE(failure);
    lss = OpenShared(d, SmallSettings());
    EXPECT_FALSE(lss->SerialElementExists(kC));
    ASSERT_TRUE(ReadWhole(lss, kA, r));
    EXPECT_EQ(r, Pattern(100, 1));
    // Closed inside a transaction that changed nothing: a clean close.
    lss->OpenTransaction();
    EXPECT_TRUE(lss->CloseReporting(nullptr));
    EXPECT_EQ(d->At(kGracefulShutdownOffset), 1);
    lss = OpenShared(d, SmallSettings());
    EXPECT_TRUE(lss->SerialElementExists(kB));
    lss->Close();
}

TEST(LssStore, FlushWritesOnlyNewBytesAndAUnitEndingAtTheSegmentEndMovesOn)
{
    auto d = std::make_shared<SharedBytes>();
    const int32_t seg = 4096;
    LSS* lss = OpenShared(d, SmallSettings(seg));
    LazyWriter& lw = lss->GetSegmentWriter().GetLazyWriter();
    WriteElement(lss, kA, Pattern(100, 1), true);
    const int64_t after = lw.GetBytesWritten();
    lss->Flush();
    lss->Flush();
    EXPECT_EQ(lw.GetBytesWritten(), after);
    // The unit padding: the next unit starts on a sector boundary.
    SegmentWriter& w = lss->GetSegmentWriter();
    EXPECT_EQ(w.GetUnitOffset() % 512, 0);
    // Fill the open unit to the segment's end exactly, then flush.
    ILssTransaction* t = lss->OpenTransaction();
    const int32_t p = seg - w.GetWriteOffset() - 13 - 17;
    ICloseableOutputStream* o = t->WriteSerialElement(kB.m_low, kB.m_high);
    std::vector<uint8_t> b(size_t(p), 1);
    o->WriteStream(b.data(), p);
    o->Close();
    const int32_t s0 = w.GetSegmentId();
    t->FlushWhenClose();
    t->Close();
    EXPECT_NE(w.GetSegmentId(), s0);
    EXPECT_EQ(w.GetWriteOffset(), 32);
    lss->Close();
    lss = OpenShared(d, SmallSettings(seg));
    std::vector<uint8_t> r;
    ASSERT_TRUE(ReadWhole(lss, kB, r));
    EXPECT_EQ(r, b);
    lss->Close();
}

TEST(LssStore, FileStoreClosedReopenedAndReadBack)
{
    TempDir dir;
    const std::string path = dir.File("store.lss");
    LssSettings s;
    s.m_segmentSize = 0x10000;
    s.m_flushTimeMilliSec = 600000;
    bool created = false;
    ILogStructuredStore* lss = OpenLSS(path.c_str(), nullptr, &created, OM_CREATE_ALWAYS, &s);
    EXPECT_TRUE(created);
    const SeidHigh h = lss->AllocateSeidHigh();
    std::vector<Seid> seids;
    for (int i = 0; i < 40; ++i) {
        const Seid id = lss->AllocateSeid(h);
        seids.push_back(id);
        WriteElement(lss, id, Pattern(size_t(i) * 1733, uint32_t(i)), i % 7 == 0);
    }
    lss->Close();
    lss = OpenLSS(path.c_str(), nullptr, &created, OM_OPEN_EXISTING, &s);
    EXPECT_FALSE(created);
    for (int i = 0; i < 40; ++i) {
        std::vector<uint8_t> r;
        ASSERT_TRUE(ReadWhole(lss, seids[size_t(i)], r));
        EXPECT_EQ(r, Pattern(size_t(i) * 1733, uint32_t(i))) << i;
    }
    EXPECT_EQ(lss->AllocateSeid(h).m_low, seids.back().m_low + 1);
    lss->Close();
}

TEST(LssStore, FailedCreateStopsItsThreadsAndThrows)
{
    auto d = std::make_shared<SharedBytes>();
    d->m_failFrom = 2048; // the header goes out, the first root division does not
    d->m_failWrites = true;
    EXPECT_THROW(OpenShared(d, SmallSettings()), FileException);
    EXPECT_EQ(d->At(0), 'V');
}

TEST(LssStoreThreaded, InjectedWriteFailureIsRethrownAndCloseIsNotClean)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings());
    WriteElement(lss, kA, Pattern(10, 1), true);
    lss->CheckPointWithNewId(); // what the next open starts from
    d->m_failFrom = kLssRootBlockSize; // segments fail, the root block does not
    d->m_failWrites = true;
    ILssTransaction* t = lss->OpenTransaction();
    ICloseableOutputStream* w = t->WriteSerialElement(kB.m_low, kB.m_high);
    const std::vector<uint8_t> big = Pattern(3 * 4096, 2); // full segments go to the writer
    w->WriteStream(big.data(), ssize_t(big.size()));
    w->Close();
    t->FlushWhenClose();
    EXPECT_THROW(t->Close(), FileException);
    EXPECT_TRUE(lss->HasBackgroundFailure());
    EXPECT_THROW(lss->OpenTransaction(), FileException);
    EXPECT_THROW(lss->ReadSerialElement(kA), FileException);
    EXPECT_THROW(lss->SerialElementExists(kA), FileException);
    std::exception_ptr failure;
    EXPECT_FALSE(lss->CloseReporting(&failure));
    ASSERT_TRUE(failure);
    EXPECT_THROW(std::rethrow_exception(failure), FileException);
    EXPECT_EQ(d->At(1024), 0); // not marked as cleanly shut down
    d->m_failWrites = false;
    lss = OpenShared(d, SmallSettings());
    EXPECT_EQ(lss->GetMSSN(), 1);
    std::vector<uint8_t> r;
    ASSERT_TRUE(ReadWhole(lss, kA, r));
    EXPECT_EQ(r, Pattern(10, 1));
    lss->Close();
}

TEST(LssStoreThreaded, ReadersAgainstARewriter)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(4096));
    const size_t sizes[] = {10, 3000, 9000, 20000};
    WriteElement(lss, kA, Pattern(sizes[0], 0));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    auto reader = [&] {
        while (!done) {
            std::vector<uint8_t> r;
            try {
                if (ReadWhole(lss, kA, r)) {
                    bool ok = false;
                    for (int v = 0; v < 4 && !ok; ++v) ok = r == Pattern(sizes[v], uint32_t(v));
                    EXPECT_TRUE(ok) << r.size();
                    ++reads;
                }
                if (ReadByStream(lss, kA, r, 333)) {
                    bool ok = false;
                    for (int v = 0; v < 4 && !ok; ++v) ok = r == Pattern(sizes[v], uint32_t(v));
                    EXPECT_TRUE(ok) << r.size();
                }
            } catch (const ProgrammingErrorException&) {
                // being written right now
            }
        }
    };
    std::thread r1(reader), r2(reader);
    // Writes are refused while a reader holds the element: the writer tries until it
    // has written often enough.
    int written = 0;
    for (int i = 1; written < Scaled(300) && i < 1000000; ++i) {
        const int v = i % 4;
        ILssTransaction* t = lss->OpenTransaction();
        try {
            ICloseableOutputStream* w = t->WriteSerialElement(kA.m_low, kA.m_high);
            const std::vector<uint8_t> p = Pattern(sizes[v], uint32_t(v));
            w->WriteStream(p.data(), ssize_t(p.size()));
            w->Close();
            ++written;
        } catch (const ProgrammingErrorException&) {
            // being read right now
        }
        t->Close();
        if (i % 50 == 0) lss->CheckPointWithNewId();
    }
    done = true;
    r1.join();
    r2.join();
    EXPECT_EQ(written, Scaled(300));
    EXPECT_FALSE(lss->HasBackgroundFailure());
    lss->Close();
}

TEST(LssStoreThreaded, LazyFlusherWritesTheHeadSegment)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LssSettings s = SmallSettings();
    s.m_flushTimeMilliSec = 20;
    LSS* lss = OpenShared(d, s);
    LazyWriter& lw = lss->GetSegmentWriter().GetLazyWriter();
    const int64_t before = lw.GetBytesWritten();
    WriteElement(lss, kA, Pattern(100, 1));
    for (int i = 0; i < 1000 && lw.GetBytesWritten() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(lw.GetBytesWritten(), before);
    lss->Close();
}

TEST(LssStoreThreaded, TransactionsOfSeveralThreadsFollowOneAnother)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LssSettings s = SmallSettings();
    s.m_numSegmentsPerCheckPoint = 4; // the check-pointer runs meanwhile
    LSS* lss = OpenShared(d, s);
    const SeidHigh h = lss->AllocateSeidHigh();
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&, k] {
            for (int i = 0; i < 40; ++i) WriteElement(lss, Seid(0x01010101u + uint32_t(k * 40 + i), h), Pattern(700, uint32_t(k * 40 + i)));
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(lss->GetNumTransactions(), 160);
    lss->Close();
    lss = OpenShared(d, s);
    for (int i = 0; i < 160; ++i) {
        std::vector<uint8_t> r;
        ASSERT_TRUE(ReadWhole(lss, Seid(0x01010101u + uint32_t(i), h), r));
        EXPECT_EQ(r, Pattern(700, uint32_t(i)));
    }
    lss->Close();
}
