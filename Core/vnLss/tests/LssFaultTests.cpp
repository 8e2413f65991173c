// Failures met while an element is being written, and the release of contiguous
// elements (their pin, reservation and reader entry), also when the release reports a
// failure.
#include "LssStoreTestUtil.h"
#include "vnLss/LssLayout.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

const Seid kOld(0x02020201u, 0x02020202u);
const Seid kNew(0x02020203u, 0x02020202u);

// The head packet's position of an element (segment, offset).
RpmPosition PositionOf(LSS* lss, Seid s) { return lss->GetRPM().Lookup(s, false); }

} // namespace

// The storage starts failing while a many-segment element is being written: the failure
// is recorded (the element writer or the transaction throws, later calls throw), and after
// reopening every element is either absent or whole.
TEST(LssFaultThreaded, FailureWhileWritingAnElementIsRecordedAndNothingTruncatedCommits)
{
    Watchdog dog;
    const int32_t seg = 4096;
    // The failure starts at the first segment written, or some segments into the element.
    for (uint64_t skip = 0; skip < 6; ++skip) {
        SCOPED_TRACE(skip);
        auto d = std::make_shared<SharedBytes>();
        LSS* lss = OpenShared(d, SmallSettings(seg));
        const std::vector<uint8_t> oldBytes = Pattern(3000, 7);
        WriteElement(lss, kOld, oldBytes, true);
        lss->CheckPointWithNewId();

        d->m_failFrom = d->Copy().size() + skip * seg; // the root block never fails
        d->m_failWrites = true;
        const std::vector<uint8_t> big = Pattern(12 * seg, 9);
        const std::vector<uint8_t> big2 = Pattern(6 * seg, 11);
        bool threw = false;
        ILssTransaction* t = lss->OpenTransaction();
        try {
            ICloseableOutputStream* w = t->WriteSerialElement(kNew.m_low, kNew.m_high);
            for (size_t at = 0; at < big.size(); at += 1000) {
                const size_t n = std::min<size_t>(1000, big.size() - at);
                w->WriteStream(big.data() + at, ssize_t(n));
            }
            w->Close();
            w = t->WriteSerialElement(kOld.m_low, kOld.m_high);
            w->WriteStream(big2.data(), ssize_t(big2.size()));
            w->Close();
            t->FlushWhenClose();
        } catch (const FileException&) {
            threw = true;
        }
        try {
            t->Close();
        } catch (const FileException&) {
            threw = true;
        }
        EXPECT_TRUE(threw);
        EXPECT_TRUE(lss->HasBackgroundFailure());
        EXPECT_THROW(lss->OpenTransaction(), FileException);
        EXPECT_THROW(lss->SerialElementExists(kOld), FileException);
        EXPECT_THROW(lss->GetContiguousSerialElement(kOld), FileException);
        std::exception_ptr failure;
        EXPECT_FALSE(lss->CloseReporting(&failure));
        EXPECT_TRUE(failure);

        d->m_failWrites = false;
        lss = OpenShared(d, SmallSettings(seg));
        std::vector<uint8_t> r;
        if (ReadWhole(lss, kNew, r)) {
            EXPECT_EQ(r, big) << "a truncated element was committed";
        }
        ASSERT_TRUE(ReadWhole(lss, kOld, r));
        EXPECT_TRUE(r == oldBytes || r == big2);
        std::vector<uint8_t> s;
        if (ReadByStream(lss, kNew, s)) {
            EXPECT_EQ(s, big);
        }
        lss->Close();
    }
}

// Reading an element contiguously many more times than the cache holds segments, and
// releasing each, leaves no pin, reservation or reader behind: the element can then be
// rewritten and deleted.
TEST(LssFault, ReleasedContiguousElementsLeaveNoPinReservationOrReader)
{
    const int32_t seg = 4096;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(seg));
    lss->SetMaxNumSegmentsInCache(4);
    // Small elements spread over several segments, and one spanning several segments.
    std::vector<Seid> seids;
    for (uint32_t i = 0; i < 8; ++i) {
        const Seid s(0x03030301u + i, 0x03030303u);
        WriteElement(lss, s, Pattern(3000, 20 + i), true);
        seids.push_back(s);
    }
    const Seid multi(0x03030381u, 0x03030303u);
    WriteElement(lss, multi, Pattern(3 * seg, 99), true);

    std::vector<int32_t> pinsBefore, reservationsBefore;
    for (const Seid& s : seids) {
        const RpmPosition p = PositionOf(lss, s);
        pinsBefore.push_back(lss->GetCache().GetPinCount(p.m_segmentId));
        reservationsBefore.push_back(lss->GetSUT().GetReservationCount(p.m_segmentId));
    }
    for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < seids.size(); ++i) {
            std::vector<uint8_t> r;
            ASSERT_TRUE(ReadWhole(lss, seids[i], r));
            ASSERT_EQ(r, Pattern(3000, 20 + uint32_t(i)));
        }
        std::vector<uint8_t> r;
        ASSERT_TRUE(ReadWhole(lss, multi, r));
        ASSERT_EQ(r, Pattern(3 * seg, 99));
    }
    for (size_t i = 0; i < seids.size(); ++i) {
        const RpmPosition p = PositionOf(lss, seids[i]);
        EXPECT_EQ(lss->GetCache().GetPinCount(p.m_segmentId), pinsBefore[i]);
        EXPECT_EQ(lss->GetSUT().GetReservationCount(p.m_segmentId), reservationsBefore[i]);
    }
    EXPECT_LE(lss->GetCache().GetNumRecords(), 4);

    // No reader is left: rewriting and deleting do not refuse.
    WriteElement(lss, seids[0], Pattern(500, 1));
    WriteElement(lss, multi, Pattern(10, 2));
    ILssTransaction* t = lss->OpenTransaction();
    EXPECT_TRUE(t->DeleteSerialElement(seids[1].m_low, seids[1].m_high));
    EXPECT_TRUE(t->DeleteSerialElement(multi.m_low, multi.m_high));
    t->Close();
    std::vector<uint8_t> r;
    ASSERT_TRUE(ReadWhole(lss, seids[0], r));
    EXPECT_EQ(r, Pattern(500, 1));
    EXPECT_FALSE(lss->SerialElementExists(seids[1]));
    EXPECT_FALSE(lss->SerialElementExists(multi));
    EXPECT_FALSE(lss->HasBackgroundFailure());
    lss->Close();
}

// A release that reports a recorded failure has still let go of everything.
TEST(LssFault, ReleaseReportingAFailureStillReleases)
{
    const int32_t seg = 4096;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(seg));
    const Seid single(0x04040401u, 0x04040404u);
    const Seid multi(0x04040402u, 0x04040404u);
    WriteElement(lss, single, Pattern(1000, 3), true);
    WriteElement(lss, multi, Pattern(2 * seg + 100, 4), true);
    const RpmPosition p = PositionOf(lss, single);
    const int32_t pins = lss->GetCache().GetPinCount(p.m_segmentId);
    const int32_t reservations = lss->GetSUT().GetReservationCount(p.m_segmentId);

    for (const Seid& s : {single, multi}) {
        IContiguousSerialElement* e = lss->GetContiguousSerialElement(s);
        ASSERT_NE(e, nullptr);
        lss->RecordBackgroundFailure(std::make_exception_ptr(FileException(EIO, xstring("injected"))));
        EXPECT_THROW(e->Release(), FileException);
        lss->ClearBackgroundFailure();
    }
    EXPECT_EQ(lss->GetCache().GetPinCount(p.m_segmentId), pins);
    EXPECT_EQ(lss->GetSUT().GetReservationCount(p.m_segmentId), reservations);

    std::vector<uint8_t> r;
    ASSERT_TRUE(ReadWhole(lss, single, r));
    EXPECT_EQ(r, Pattern(1000, 3));
    ASSERT_TRUE(ReadWhole(lss, multi, r));
    EXPECT_EQ(r, Pattern(2 * seg + 100, 4));
    // No reader entry is left behind: both can be rewritten.
    WriteElement(lss, single, Pattern(20, 5));
    WriteElement(lss, multi, Pattern(20, 6));
    ASSERT_TRUE(ReadWhole(lss, multi, r));
    EXPECT_EQ(r, Pattern(20, 6));
    EXPECT_FALSE(lss->HasBackgroundFailure());
    lss->Close();
}

// With a cache of two records a contiguous read of a three-segment element finds the
// writer's head segment pinned and needs chain segments: it completes, also when the
// reading thread holds other elements' segments meanwhile.
TEST(LssFault, ContiguousReadOfALongElementWithASmallCacheDoesNotHang)
{
    Watchdog dog;
    const int32_t seg = 4096;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(seg));
    lss->SetMaxNumSegmentsInCache(2);
    const Seid multi(0x05050501u, 0x05050505u);
    const Seid other(0x05050502u, 0x05050505u);
    WriteElement(lss, other, Pattern(3000, 7), true);
    WriteElement(lss, multi, Pattern(3 * seg, 8), true);
    std::vector<uint8_t> r;
    ASSERT_TRUE(ReadWhole(lss, multi, r));
    EXPECT_EQ(r, Pattern(3 * seg, 8));
    // Holding another element in place (one more pinned record of this thread).
    IContiguousSerialElement* held = lss->GetContiguousSerialElement(other);
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(ReadWhole(lss, multi, r));
    EXPECT_EQ(r, Pattern(3 * seg, 8));
    ASSERT_TRUE(ReadByStream(lss, multi, r, 5000));
    EXPECT_EQ(r, Pattern(3 * seg, 8));
    held->Release();
    // The excess records go again as they are released.
    ASSERT_TRUE(ReadWhole(lss, multi, r));
    EXPECT_LE(lss->GetCache().GetNumRecords(), 3);
    lss->Close();
}

// Two threads read chained elements while the cleaner moves packets, with a cache of
// four records: a reader lets go of one segment before it pins the next, so the
// readers and the cleaner never hold every record while waiting for each other.
TEST(LssFaultThreaded, ChainReadersAndTheCleanerWithFourRecordsDoNotDeadlock)
{
    Watchdog dog;
    const int32_t seg = 4096;
    auto d = std::make_shared<SharedBytes>();
    LssSettings settings = SmallSettings(seg);
    settings.m_cleanerUtilisationPercent = 100.0;
    LSS* lss = OpenShared(d, settings);
    lss->GetCleaner().Stop(); // this test runs the cleaner's work itself
    const SeidHigh space = 0x06060606u;
    std::vector<Seid> seids;
    for (uint32_t i = 0; i < 8; ++i) {
        seids.push_back(Seid(0x06060601u + i, space));
        WriteElement(lss, seids.back(), Pattern(size_t(2 * seg + 500 * i), 40 + i), true);
    }
    lss->SetMaxNumSegmentsInCache(4);
    std::atomic<int> running{2};
    std::atomic<int> failures{0};
    auto reader = [&](uint32_t first) {
        std::vector<uint8_t> r;
        for (uint32_t n = 0; n < uint32_t(Scaled(1500)); ++n) {
            const uint32_t i = (first + n * 3) % 8;
            const bool whole = n % 2 == 0;
            if (!(whole ? ReadWhole(lss, seids[i], r) : ReadByStream(lss, seids[i], r, 1500)) ||
                r != Pattern(size_t(2 * seg + 500 * i), 40 + i))
                ++failures;
        }
        --running;
    };
    std::thread r1(reader, 0), r2(reader, 5);
    SegmentWriter& w = lss->GetSegmentWriter();
    while (running > 0) {
        // Clean every segment that holds a packet, as a cleaner pass would.
        std::vector<int32_t> segments;
        for (int32_t id = 1; id < lss->GetSUT().GetNumSegments(); ++id)
            if (lss->GetSUT().GetUtilisation(id) > 0) segments.push_back(id);
        w.Lock(false);
        for (int32_t id : segments) lss->GetCleaner().CleanSegment(id);
        w.Unlock();
        lss->CheckPointWithNewId(); // cleaned segments become free again
    }
    r1.join();
    r2.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(lss->HasBackgroundFailure());
    lss->Close();
}
